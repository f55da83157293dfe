# The window, launching and the start-up hand-offs.
if(TARGET marker_app)
    quorvex_add_qtest(tst_mainwindow SOURCES tst_mainwindow.cpp LABELS "unit;window")
    target_compile_definitions(tst_mainwindow PRIVATE
        QUORVEX_MARKER_APP="$<TARGET_FILE:marker_app>")
    add_dependencies(tst_mainwindow marker_app)
endif()
