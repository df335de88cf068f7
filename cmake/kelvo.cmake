# kelvo_test(NAME SOURCES... LIBS ...): one gtest binary beside the code it tests.
function(kelvo_test name)
  if(NOT KELVO_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
  set_property(GLOBAL APPEND PROPERTY KELVO_TEST_TARGETS ${name})
endfunction()

# kelvo_bench(NAME SOURCES... LIBS ...): a Google Benchmark binary.
function(kelvo_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  set_property(GLOBAL APPEND PROPERTY KELVO_BENCH_TARGETS ${name})
endfunction()

# kelvo_fuzzer(NAME SOURCES... LIBS ...): a libFuzzer harness.
function(kelvo_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_property(GLOBAL APPEND PROPERTY KELVO_FUZZ_TARGETS ${name})
endfunction()

# kelvo_group_target(GROUP PROPERTY): a target building every member
# registered above under PROPERTY, so a preset builds only what it needs
# (each member also builds what it depends on, such as the programs the
# integration tests start).
function(kelvo_group_target group property)
  add_custom_target(${group})
  get_property(members GLOBAL PROPERTY ${property})
  if(members)
    add_dependencies(${group} ${members})
  endif()
endfunction()
