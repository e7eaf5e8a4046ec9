# Toolchain for the 32-bit host build (preset host-i386): the host kernel, the simulator, the driver
# and the tests built for 32-bit x86 Linux with the host's own compilers (package g++-multilib) and
# the i386 builds of the libraries the tests link (Debian multiarch). There the host kernel's records
# have the platform's 32-bit layouts and its routines the platform's calling conventions.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# SSE2 as the platform's 32-bit x86 kernels require; 64-bit values in x87 registers would round.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Where the machine's kernel runs 32-bit x86 programs itself, tests run directly; elsewhere under
# qemu-i386 (package qemu-user), about five times slower.
if(NOT DEFINED KX_I386_EMULATOR)
  set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/kx_i386_probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
  execute_process(COMMAND gcc -m32 -o ${probe_dir}/probe ${probe_dir}/probe.c
                  RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
  set(runs 1)
  if(built EQUAL 0)
    execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE runs OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(runs EQUAL 0)
    set(emulator "")
  else()
    find_program(emulator_path qemu-i386 REQUIRED)
    set(emulator ${emulator_path})
  endif()
  set(KX_I386_EMULATOR "${emulator}" CACHE STRING
      "How tests run 32-bit x86 programs (empty: directly)")
endif()
if(KX_I386_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/run-i386 ${KX_I386_EMULATOR})
endif()
