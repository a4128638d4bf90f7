# Every target of ours links this: warnings are errors everywhere.
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)

# VELMORA_THREAD_SAFETY_ANALYSIS: clang checks every GUARDED_BY, REQUIRES and ACQUIRED_AFTER
# (velmora/core/mutex.h); as warnings are errors, a lock taken wrongly fails the build.
if(VELMORA_THREAD_SAFETY_ANALYSIS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VELMORA_THREAD_SAFETY_ANALYSIS needs clang: configure with CXX=clang++")
  endif()
  target_compile_options(velmora_warnings INTERFACE -Wthread-safety -Wthread-safety-beta)
endif()
