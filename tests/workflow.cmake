# The update workflow: in-process against the fake server, and the real binary against nginx.
quorvex_add_qtest(tst_workflow SOURCES tst_workflow.cpp LIBS qv_testsupport
                  LABELS "unit;workflow" TIMEOUT 300)
quorvex_add_qtest(tst_endtoend SOURCES tst_endtoend.cpp LIBS qv_testsupport
                  LABELS "e2e;workflow" RESOURCE_LOCK TIMEOUT 600)
add_dependencies(tst_endtoend qv_updater)
