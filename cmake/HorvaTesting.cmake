# Test helpers. Every test binary is an MPI program (the log stream and the
# model objects read the communicator), linked with the MPI-aware gtest main.

find_package(GTest REQUIRED)
find_program(HORVA_TIMEOUT timeout REQUIRED)

set(HORVA_MPI_ENV
    OMPI_ALLOW_RUN_AS_ROOT=1
    OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
    OMPI_MCA_rmaps_base_oversubscribe=1
    OMPI_MCA_btl=self,vader
    OMPI_MCA_btl_vader_single_copy_mechanism=none
    # Each start of mpirun and of MPI_Init would otherwise probe the other
    # transports, and read the topology by moving to every core in turn to
    # ask it (cpuid), waiting each time for a busy core: over the thousands of
    # short runs of the tests, minutes.
    OMPI_MCA_pml=ob1
    HWLOC_COMPONENTS=-x86
    # More processes than cores: one that waits for a message gives its core
    # to the one it waits for, instead of spinning until the scheduler
    # preempts it.
    OMPI_MCA_mpi_yield_when_idle=1
    # Open MPI binds runs of one or two processes to the first cores, so
    # that every such test of a parallel ctest run, and its threads, would
    # share those cores while the others idle.
    OMPI_MCA_hwloc_base_binding_policy=none
    # Several processes share the cores of a test machine, and the idle
    # threads of one sleep rather than spin against the others.
    OMP_NUM_THREADS=2
    OMP_WAIT_POLICY=PASSIVE)
if(HORVA_SANITIZE)
  # Open MPI keeps its plugins loaded and leak reports unwind fully, so that
  # the library's own allocations can be suppressed by module name. The leak
  # check at exit misreads the dynamic thread-local blocks it records from
  # __tls_get_addr and crashes in about one run in three of a three-process
  # job; without them it only has fewer places to find pointers in, so it
  # reports more, never less.
  list(APPEND HORVA_MPI_ENV
       OMPI_MCA_mca_base_component_disable_dlclose=1
       "ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:intercept_tls_get_addr=0"
       "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/.ci/lsan.supp:print_suppressions=0"
       "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# Every test run is stopped after HORVA_TEST_TIMEOUT seconds, so that a
# deadlock fails it instead of holding up CI. The slowest binaries take about
# 20 s under the sanitizers on two cores shared with another clone's CI run,
# and up to two minutes when a CPU-bound program holds each of the two cores;
# the limit leaves room beyond that for a slower machine and for binaries that
# grow.
set(HORVA_TEST_TIMEOUT 600)
# ctest's own limit comes later: `timeout` stops mpirun first, and mpirun its
# processes, where ctest would kill mpirun alone and leave them running.
math(EXPR HORVA_CTEST_TIMEOUT "${HORVA_TEST_TIMEOUT} + 30")

# The time of a test run goes into the model's libraries; test code compiled
# with optimisation took most of a build's time on two cores. The headers every test includes are parsed once,
# into the precompiled header of horva_test_main, which every test binary
# reuses: the options and definitions that a precompiled header must share
# are set alike on all of them here.
set(HORVA_TEST_OPTIMISATION -O0)
set(HORVA_TEST_DEFINITIONS
    HORVA_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/data"
    HORVA_BINARY_DIR="${CMAKE_BINARY_DIR}")

# horva_test_code(<target>): the compile settings every test target shares.
function(horva_test_code target)
  target_compile_options(${target} PRIVATE ${HORVA_TEST_OPTIMISATION})
  target_compile_definitions(${target} PRIVATE ${HORVA_TEST_DEFINITIONS})
endfunction()

# horva_add_test_binary(<target> <source files...>)
function(horva_add_test_binary target)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE horva_test_main GTest::gtest)
  horva_test_code(${target})
  target_precompile_headers(${target} REUSE_FROM horva_test_main)
endfunction()

# horva_add_serial_test(<name> <target> [args...]): one process, no mpirun.
function(horva_add_serial_test name target)
  add_test(NAME ${name}
           COMMAND ${HORVA_TIMEOUT} -k 10 ${HORVA_TEST_TIMEOUT} $<TARGET_FILE:${target}> ${ARGN}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES
      TIMEOUT ${HORVA_CTEST_TIMEOUT} ENVIRONMENT "${HORVA_MPI_ENV}")
endfunction()

# horva_add_mpi_test(<name> <target> PROCS 1 2 3 [TIMEOUT s] [ARGS ...]):
# runs the binary under mpirun once per process count. Every rank returns its
# own gtest result, so a failure on any rank fails the run; only rank 0 prints
# the full report. The outer timeout turns a deadlock into a failure.
function(horva_add_mpi_test name target)
  cmake_parse_arguments(T "" "TIMEOUT" "PROCS;ARGS" ${ARGN})
  if(NOT T_PROCS AND HORVA_SANITIZE)
    # The optimised build runs every count; under the sanitizers one process
    # and three (a strip with neighbours on both sides) find what two would,
    # in two thirds of the time.
    set(T_PROCS 1 3)
  elseif(NOT T_PROCS)
    set(T_PROCS 1 2 3)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${HORVA_TEST_TIMEOUT})
  endif()
  math(EXPR ctest_timeout "${T_TIMEOUT} + 30")
  foreach(np IN LISTS T_PROCS)
    add_test(NAME ${name}_np${np}
             COMMAND ${HORVA_TIMEOUT} -k 10 ${T_TIMEOUT}
                     ${MPIEXEC_EXECUTABLE} --oversubscribe -np ${np}
                     $<TARGET_FILE:${target}> ${T_ARGS}
             WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${name}_np${np} PROPERTIES
        TIMEOUT ${ctest_timeout} PROCESSORS ${np} ENVIRONMENT "${HORVA_MPI_ENV}")
  endforeach()
endfunction()

# horva_add_folder_tests(<folder> [EXAMPLE_DIR] [LIBRARIES ...] [FIXTURES ...]
#                        [MPI_FIXTURES ...]): the folder's *_test.cpp as the binary
# <folder>_tests, run on one process as the test <folder>, and its
# *_mpitest.cpp as <folder>_mpi_tests, run under mpirun with 1, 2 and 3
# processes as <folder>_mpi_np<n>. EXAMPLE_DIR hands both the example
# catchment's input folder.
function(horva_add_folder_tests folder)
  cmake_parse_arguments(T "EXAMPLE_DIR" "" "LIBRARIES;FIXTURES;MPI_FIXTURES" ${ARGN})
  file(GLOB serial_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB mpi_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_mpitest.cpp)
  set(binaries)
  if(serial_sources)
    horva_add_test_binary(${folder}_tests ${serial_sources} ${T_FIXTURES})
    horva_add_serial_test(${folder} ${folder}_tests)
    list(APPEND binaries ${folder}_tests)
  endif()
  if(mpi_sources)
    horva_add_test_binary(${folder}_mpi_tests ${mpi_sources} ${T_MPI_FIXTURES})
    horva_add_mpi_test(${folder}_mpi ${folder}_mpi_tests)
    list(APPEND binaries ${folder}_mpi_tests)
  endif()
  foreach(binary IN LISTS binaries)
    target_link_libraries(${binary} PRIVATE ${T_LIBRARIES})
    if(T_EXAMPLE_DIR)
      target_compile_definitions(${binary} PRIVATE
          HORVA_EXAMPLE_DIR="${CMAKE_SOURCE_DIR}/examples/catchment/input")
    endif()
  endforeach()
endfunction()
