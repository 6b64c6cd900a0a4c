# zoq_module(NAME [PUBLIC deps...] [PRIVATE deps...])
#
# One static library per top-level module directory. Sources are every .cpp
# below NAME/, so adding a file needs no edit here. Includes are spelled from
# the repository root ("ZoqCore/Support/CoreError.h").
function(zoq_module name)
  cmake_parse_arguments(arg "" "" "PUBLIC;PRIVATE" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${name}/*.cpp")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
  set_property(GLOBAL APPEND PROPERTY ZOQ_MODULES ${name})
endfunction()

# zoq_test_suite(DIR LIBRARY...) builds tests/DIR/**/*.cpp into one GoogleTest
# executable, DIRTests, linked against the given libraries and the shared test
# support, and registers each test case with CTest.
function(zoq_test_suite dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tests/${dir}/*.cpp")
  if(NOT sources)
    return()
  endif()
  set(target ${dir}Tests)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${ARGN} ZoqTestSupport GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${target}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    PROPERTIES ENVIRONMENT "ZOQ_SOURCE_DIR=${PROJECT_SOURCE_DIR};ZOQ_BINARY_DIR=${PROJECT_BINARY_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()
