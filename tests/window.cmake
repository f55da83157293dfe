# The window, launching and the start-up hand-offs.
quorvex_add_qtest(tst_mainwindow SOURCES tst_mainwindow.cpp LIBS qv_testsupport
                  LABELS "unit;window")
# The real binary's start-up hand-offs (its workflow may reach the compiled-in port).
quorvex_add_qtest(tst_handoff SOURCES tst_handoff.cpp LIBS qv_testsupport
                  LABELS "e2e;window" RESOURCE_LOCK TIMEOUT 120)
add_dependencies(tst_handoff qv_updater)
