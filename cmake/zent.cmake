# Project helpers: GoogleTest and pytest registration, CFFI module generation.

# zent_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS label] [RESOURCE_LOCK ...] [ENV entry])
# The discovered cases are registered from a flattened property list, which splits any list
# value again: so one label (the area; "native" when none is given) and one environment entry
# at most. The sanitizer settings are built into the program instead of passed.
function(zent_add_gtest name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENV" ${ARGN})
  list(LENGTH A_LABELS nlabels)
  list(LENGTH A_ENV nenv)
  if(nlabels GREATER 1 OR nenv GREATER 1)
    message(FATAL_ERROR "zent_add_gtest(${name}): one label and one ENV entry at most")
  endif()
  add_executable(${name} ${A_SOURCES})
  if(ZENT_SANITIZE)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/sanitizer_defaults.c)
  endif()
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  if(A_LABELS)
    set(props LABELS "${A_LABELS}")
  else()
    set(props LABELS native)
  endif()
  if(A_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${A_RESOURCE_LOCK}")
  endif()
  if(A_ENV)
    list(APPEND props ENVIRONMENT "${A_ENV}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# zent_record_syslog(<target>)
# The test program's system log goes to the in-process recorder (tests/platform/
# syslog_capture.h) instead of the host's logger.
function(zent_record_syslog target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/platform/syslog_capture.cc)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/platform)
  target_link_options(${target} PRIVATE
                      -Wl,--wrap=openlog,--wrap=closelog,--wrap=vsyslog,--wrap=__vsyslog_chk,--wrap=syslog)
endfunction()

# zent_add_pytest(<name> <directory> [LABELS ...] [RESOURCE_LOCK ...] [ENV ...] [TIMEOUT s])
# Runs the test interpreter (Debian's, or the target's under emulation) on the directory with
# the module tree on PYTHONPATH.
function(zent_add_pytest name dir)
  cmake_parse_arguments(A "" "TIMEOUT" "LABELS;RESOURCE_LOCK;ENV" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 900)
  endif()
  # An emulated interpreter (the cross build's) runs several times slower.
  if(ZENT_TEST_TIMEOUT_SCALE)
    math(EXPR A_TIMEOUT "${A_TIMEOUT} * ${ZENT_TEST_TIMEOUT_SCALE}")
  endif()
  add_test(NAME ${name}
           COMMAND ${ZENT_TEST_PYTHON} -m pytest -q -p no:cacheprovider ${dir})
  set(env "PYTHONPATH=${ZENT_PYTREE}" "ZENT_BUILD_DIR=${CMAKE_BINARY_DIR}"
          "ZENT_SOURCE_DIR=${CMAKE_SOURCE_DIR}" "PYTHONDONTWRITEBYTECODE=1" ${ZENT_SANITIZER_ENV} ${A_ENV})
  if(ZENT_SANITIZER_PRELOAD)
    list(APPEND env "LD_PRELOAD=${ZENT_SANITIZER_PRELOAD}" "ZENT_SANITIZER_PRELOAD=${ZENT_SANITIZER_PRELOAD}")
  endif()
  # Tests that compile C for the interpreter's machine (a cross build names its compiler).
  if(ZENT_TEST_CC)
    list(APPEND env "ZENT_TEST_CC=${ZENT_TEST_CC}")
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" LABELS "pytest;${A_LABELS}" TIMEOUT ${A_TIMEOUT})
  if(A_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${A_RESOURCE_LOCK}")
  endif()
endfunction()

# zent_add_cffi_module(<target> IMPORT_NAME <pkg.name> CDEF <file> HEADER <C header>
#                      SOURCES ... [LIBS ...])
# Generates the module's interpreter layer from its declaration list (CFFI out-of-line API
# mode) and links it with the module's native sources into <last component>.so in the
# package tree.
function(zent_add_cffi_module target)
  cmake_parse_arguments(A "" "IMPORT_NAME;CDEF;HEADER" "SOURCES;LIBS;INCLUDES" ${ARGN})
  string(REPLACE "." ";" parts ${A_IMPORT_NAME})
  list(GET parts -1 leaf)
  list(LENGTH parts nparts)
  set(outdir ${ZENT_PYTREE})
  if(nparts GREATER 1)
    list(GET parts 0 pkg)
    set(outdir ${ZENT_PYTREE}/${pkg})
  endif()
  set(gen_c ${CMAKE_CURRENT_BINARY_DIR}/${target}_cffi.c)
  add_custom_command(
    OUTPUT ${gen_c}
    COMMAND ${ZENT_PYTHON} ${CMAKE_SOURCE_DIR}/bindings/gen_cffi.py
            --module ${A_IMPORT_NAME} --cdef ${A_CDEF} --header ${A_HEADER} --out ${gen_c}
    DEPENDS ${CMAKE_SOURCE_DIR}/bindings/gen_cffi.py ${A_CDEF} ${A_HEADER}
    COMMENT "Generating interpreter layer of ${A_IMPORT_NAME}")
  add_library(${target} MODULE ${gen_c} ${A_SOURCES})
  # The generated layer is third-party-shaped C: keep its warnings out of ours.
  set_source_files_properties(${gen_c} PROPERTIES COMPILE_OPTIONS "-w")
  target_include_directories(${target} PRIVATE ${ZENT_PYTHON_INCLUDE} ${A_INCLUDES})
  target_link_libraries(${target} PRIVATE ${A_LIBS})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${leaf} SUFFIX ".so"
                        LIBRARY_OUTPUT_DIRECTORY ${outdir} LINKER_LANGUAGE CXX)
  # Static helper libraries stay private to the module.
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
endfunction()
