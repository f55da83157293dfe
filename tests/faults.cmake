# Reliability under faults: the real updater against broken and hostile servers, bad archives
# and killed runs (on the compiled port, so serial), and in-process windows for the cases that
# only the status line tells, full disks included (any port, so in parallel).
add_library(qv_faultkit STATIC faults/faultkit.h faults/faultkit.cpp)
target_include_directories(qv_faultkit PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/faults")
target_link_libraries(qv_faultkit PUBLIC qv_testsupport)

quorvex_add_qtest(tst_faults_binary SOURCES tst_faults_binary.cpp LIBS qv_faultkit
                  LABELS "faults;e2e" RESOURCE_LOCK TIMEOUT 600)
add_dependencies(tst_faults_binary qv_updater)
quorvex_add_qtest(tst_faults_window SOURCES tst_faults_window.cpp LIBS qv_faultkit
                  LABELS "faults;workflow" TIMEOUT 300)
