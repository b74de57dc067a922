# Building a static library from Debian's own source package, for the
# portable installer program: one step of it, logged in the build tree.

# morrowline_source_step(LIBRARY ROOT WHAT DIR COMMAND...): runs COMMAND in
# DIR, its output in ROOT/WHAT.log; stops the configure with a message
# naming that log when it fails.
function(morrowline_source_step library root what dir)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${dir} RESULT_VARIABLE status
                  OUTPUT_FILE ${root}/${what}.log ERROR_FILE ${root}/${what}.log)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "static ${library}: ${what} failed; see ${root}/${what}.log "
                        "(-DMORROWLINE_PORTABLE=OFF builds against the system's shared ${library})")
  endif()
endfunction()

# morrowline_source_jobs(VAR): how many jobs such a build may run: the
# processors, or CMAKE_BUILD_PARALLEL_LEVEL, which caps cmake --build too,
# on a machine that others build on.
function(morrowline_source_jobs var)
  include(ProcessorCount)
  ProcessorCount(jobs)
  if(DEFINED ENV{CMAKE_BUILD_PARALLEL_LEVEL})
    set(jobs $ENV{CMAKE_BUILD_PARALLEL_LEVEL})
  endif()
  set(${var} ${jobs} PARENT_SCOPE)
endfunction()

# A cross build hands its toolchain and sysroot on to the CMake builds of
# the sources.
set(morrowline_source_cross_options "")
if(CMAKE_CROSSCOMPILING)
  set(morrowline_source_cross_options -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
      -DMORROWLINE_AARCH64_SYSROOT=${MORROWLINE_AARCH64_SYSROOT})
endif()
