# SPDX-License-Identifier: Apache-2.0
# Warning and sanitizer flags shared by every target of the project.
set(KELVRA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

function(kelvra_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wcast-align -Wformat=2 -Wimplicit-fallthrough
                         $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # The beta group adds the checks of ACQUIRED_BEFORE / ACQUIRED_AFTER.
    target_compile_options(${target} PRIVATE -Wthread-safety -Wthread-safety-beta)
  endif()
  if(KELVRA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(KELVRA_SANITIZE)
  add_compile_options(${KELVRA_SANITIZER_FLAGS})
  add_link_options(${KELVRA_SANITIZER_FLAGS})
endif()
if(KELVRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KELVRA_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # Every unit is instrumented for coverage; only the fuzz targets link the
  # fuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link ${KELVRA_SANITIZER_FLAGS})
  add_link_options(${KELVRA_SANITIZER_FLAGS})
endif()
if(KELVRA_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
