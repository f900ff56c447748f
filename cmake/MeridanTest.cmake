# Qt wants a private runtime folder for its platform plugins.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/runtime)
file(CHMOD ${CMAKE_BINARY_DIR}/runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# Adds a Qt Test executable as one ctest entry with labels, a time-out and the offscreen platform.
# FUNCTIONS limits the entry to those test functions of the program.
function(meridan_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV;FUNCTIONS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  meridan_add_test_run(${name} ${name} TIMEOUT "${T_TIMEOUT}" LABELS "${T_LABELS}" ENV "${T_ENV}"
                       FUNCTIONS ${T_FUNCTIONS})
endfunction()

# Another ctest entry for some test functions of an existing test program, so slow cases run
# side by side. Backups and other data the programs keep go to a folder of the build's own.
function(meridan_add_test_run name program)
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;ENV;FUNCTIONS" ${ARGN})
  add_test(NAME ${name} COMMAND ${program} ${T_FUNCTIONS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/runtime;XDG_DATA_HOME=${CMAKE_BINARY_DIR}/runtime/data;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;${T_ENV}")
endfunction()
