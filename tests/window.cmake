# The window, launching and the start-up hand-offs.
quorvex_add_qtest(tst_mainwindow SOURCES tst_mainwindow.cpp LIBS qv_testsupport
                  LABELS "unit;window")
