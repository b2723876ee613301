# lumaro-milter: the header edits as unit tests, the milter at the protocol level
# with a client of our own (always), and end to end through a real Postfix (only
# when asked: LUMARO_TEST_MTA=1, or CI=true).
if(TARGET milter_core)
  add_executable(test_milter ${CMAKE_CURRENT_LIST_DIR}/header_edits_test.cpp)
  target_compile_options(test_milter PRIVATE ${LUMARO_WARNINGS})
  target_link_libraries(test_milter PRIVATE milter_core GTest::gtest GTest::gtest_main)
  add_test(NAME milter_header_edits COMMAND test_milter)
  set_tests_properties(milter_header_edits PROPERTIES LABELS milter)
endif()

if(TARGET lumaro-milter)
  set(milter_test_args --milter $<TARGET_FILE:lumaro-milter> --host $<TARGET_FILE:lumaro-host>
      --module $<TARGET_FILE:lumaro>)
  add_test(NAME milter_protocol
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/milter_protocol.py ${milter_test_args})
  set_tests_properties(milter_protocol PROPERTIES LABELS milter TIMEOUT 600)
  if(LUMARO_SANITIZE)
    set_tests_properties(milter_protocol PROPERTIES
      ENVIRONMENT LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp)
  endif()

  # Prints one line and passes when not asked to run; installs Postfix when asked.
  add_test(NAME milter_postfix
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../mta/run_postfix_tests.sh ${milter_test_args})
  set_tests_properties(milter_postfix PROPERTIES LABELS "milter;mta" TIMEOUT 2400 RUN_SERIAL TRUE
    SKIP_RETURN_CODE 77)
endif()
