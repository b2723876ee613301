# Host-level tests: python3 drives lumaro-host (under the emulator for the Windows
# build) over scratch server folders and checks the messages it leaves.
if(TARGET lumaro-host)
  set(host_test_args --host $<TARGET_FILE:lumaro-host> --module $<TARGET_FILE:lumaro>)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    string(REPLACE ";" "\\;" host_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    list(APPEND host_test_args --emulator "${host_emulator}")
  endif()
  set(host_test_env "${LUMARO_TEST_ENV};LUMARO_CODEPAGE=1250;LUMARO_TEST_VERSION=${PROJECT_VERSION}")

  foreach(name host_cli host_filter host_end_to_end host_failures host_real_mail host_settings host_structure host_header_structure)
    add_test(NAME ${name}
      COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/${name}.py ${host_test_args})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${host_test_env}" TIMEOUT 600)
  endforeach()

  # The whole job once more with the module's own conversion code (the Windows
  # build under Wine has no iconv.dll: its runs above use the own code already).
  if(NOT WIN32)
    foreach(name host_end_to_end host_real_mail)
      add_test(NAME ${name}_own_code
        COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/${name}.py ${host_test_args})
      set_tests_properties(${name}_own_code PROPERTIES
        ENVIRONMENT "${host_test_env};LUMARO_ICONV=none" TIMEOUT 600)
    endforeach()
  endif()
endif()
