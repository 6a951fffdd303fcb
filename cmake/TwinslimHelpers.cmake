# Collects the C++ sources of one folder (not recursive) so that adding a file
# needs no CMake edit.
function(twinslim_sources out_var)
    set(result)
    foreach(dir IN LISTS ARGN)
        file(GLOB found CONFIGURE_DEPENDS
            "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp"
            "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h")
        list(APPEND result ${found})
    endforeach()
    set(${out_var} ${result} PARENT_SCOPE)
endfunction()

# One GoogleTest executable per tested folder, registered test by test with CTest. The kill-round
# tests of the real programs take up to five minutes with sanitizers on a busy machine.
include(GoogleTest)
function(twinslim_add_test name)
    cmake_parse_arguments(T "" "" "DIRS;LIBS" ${ARGN})
    twinslim_sources(sources ${T_DIRS})
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE twinslim_test_support ${T_LIBS})
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 600)
endfunction()
