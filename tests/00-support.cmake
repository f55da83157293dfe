# Shared test support: the stand-in programs and the qv_testsupport library.
#
# Stand-in programs (plain C++, start fast):
#   marker_app      records each start (path, working directory, arguments) in a marker file
#   fake_extractor  plays 7-Zip: logs its command line, exits/crashes/sleeps as told by env
add_executable(marker_app helpers/marker_app.cpp)
add_executable(fake_extractor helpers/fake_extractor.cpp)
set_target_properties(marker_app fake_extractor PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

# qv_testsupport: FakeHttpServer, NginxServer and the testenv helpers (see their headers).
# Linking it also gives the compile definitions QUORVEX_MARKER_APP and QUORVEX_FAKE_EXTRACTOR
# (paths of the stand-in programs) and builds the stand-ins first.
find_package(ZLIB REQUIRED)
add_library(qv_testsupport STATIC
    support/fakehttpserver.h
    support/fakehttpserver.cpp
    support/nginxserver.h
    support/nginxserver.cpp
    support/testenv.h
    support/testenv.cpp)
target_include_directories(qv_testsupport PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/support")
target_link_libraries(qv_testsupport PUBLIC qv_core Qt5::Core Qt5::Network Qt5::Test
                      PRIVATE ZLIB::ZLIB)
target_compile_definitions(qv_testsupport
    PUBLIC
        QUORVEX_MARKER_APP="$<TARGET_FILE:marker_app>"
        QUORVEX_FAKE_EXTRACTOR="$<TARGET_FILE:fake_extractor>"
    PRIVATE
        QUORVEX_SEVEN_ZIP="${QUORVEX_7ZIP}"
        QUORVEX_TEST_BUILD_ROOT="${CMAKE_BINARY_DIR}")
add_dependencies(qv_testsupport marker_app fake_extractor)
