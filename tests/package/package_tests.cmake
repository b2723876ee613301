# The packages as administrators get them (label "package"): the build makes its
# package once (the fixture), and the tests read it, install it, run it and build
# it again. A sanitized build makes no package.
if(LUMARO_SANITIZE OR LUMARO_FUZZ OR NOT LUMARO_PACKAGE_FILE)
  return()
endif()
set(package_dir ${CMAKE_CURRENT_LIST_DIR})

add_test(NAME package_build
  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -P ${package_dir}/make_package.cmake)
set_tests_properties(package_build PROPERTIES FIXTURES_SETUP lumaro_package
                     LABELS "package;static" TIMEOUT 600)

# What the files show can be checked on any machine (label "static").
set(settings -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE})
if(CMAKE_TOOLCHAIN_FILE)
  list(APPEND settings -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE})
else()
  list(APPEND settings -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER})
endif()
# A list cannot pass through the test's command line: "|" stands for ";".
string(REPLACE ";" "|" settings "${settings}")
add_test(NAME package_reproducible
  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DSOURCE=${PROJECT_SOURCE_DIR}
          -DGENERATOR=${CMAKE_GENERATOR} -DPACKAGE=${LUMARO_PACKAGE_FILE} "-DSETTINGS=${settings}"
          -P ${package_dir}/reproducible.cmake)

if(WIN32)
  set(zip_test python3 ${package_dir}/zip_test.py --zip ${LUMARO_PACKAGE_FILE} --version ${PROJECT_VERSION})
  add_test(NAME package_zip_files COMMAND ${zip_test} Contents)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(wine_arch win32)
  else()
    set(wine_arch win64)
  endif()
  add_test(NAME package_zip_under_wine
    COMMAND ${zip_test} --wine ${CMAKE_CROSSCOMPILING_EMULATOR} --wine-arch ${wine_arch} UnderWine)
  set_tests_properties(package_reproducible package_zip_files PROPERTIES LABELS "package;static")
  set(package_tests package_reproducible package_zip_files package_zip_under_wine)
  set_tests_properties(package_zip_under_wine PROPERTIES LABELS package)
else()
  set(deb_test python3 ${package_dir}/deb_test.py --deb ${LUMARO_PACKAGE_FILE} --version ${PROJECT_VERSION}
               --module-dir ${LUMARO_INSTALL_MODULEDIR})
  if(TARGET lumaro-milter)
    list(APPEND deb_test --milter)
  endif()
  add_test(NAME package_deb COMMAND ${deb_test} Package Installed)
  add_test(NAME package_lintian COMMAND ${deb_test} Lintian)
  set(package_tests package_reproducible package_deb package_lintian)
  set_tests_properties(${package_tests} PROPERTIES LABELS package)
endif()
set_tests_properties(${package_tests} PROPERTIES FIXTURES_REQUIRED lumaro_package TIMEOUT 1200)
