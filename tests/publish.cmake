# The release publishing tool: what it writes, what its check finds, and a round trip through
# the real updater and nginx.
if(TARGET qv_publish_lib)
    quorvex_add_qtest(tst_publish SOURCES tst_publish.cpp LIBS qv_publish_lib LABELS publish
                      TIMEOUT 300)
    add_dependencies(tst_publish qv_publish)

    quorvex_add_qtest(tst_publish_roundtrip SOURCES tst_publish_roundtrip.cpp
                      LIBS qv_publish_lib LABELS publish endtoend RESOURCE_LOCK TIMEOUT 300)
    target_compile_definitions(tst_publish_roundtrip PRIVATE
        QUORVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(tst_publish_roundtrip qv_publish qv_updater quorvex_demo_1_0 quorvex_demo_1_1)
endif()
