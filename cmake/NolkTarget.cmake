# Flags every target of ours gets: strict warnings and GBK string literals.
set(NOLK_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)

# Source names in the binaries (__FILE__ in the allocation tracker's records) are relative to the
# source root, so no build machine's folders end up in what we ship.
set(NOLK_PREFIX_MAP -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)

function(nolk_flags target)
  target_compile_options(${target} PRIVATE ${NOLK_PREFIX_MAP})
  if(NOLK_LIBFUZZER AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang has no GBK execution charset; a libFuzzer build only looks for crashes, not texts.
    target_compile_options(${target} PRIVATE ${NOLK_WARNINGS} -fsanitize=fuzzer-no-link)
  else()
    target_compile_options(${target} PRIVATE ${NOLK_WARNINGS} -fexec-charset=GBK -finput-charset=UTF-8)
  endif()
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  if(WIN32)
    target_compile_definitions(${target} PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  endif()
endfunction()

# A static library of one folder: every .cpp in it, plus win32/ or posix/ when present.
function(nolk_folder_library target dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(WIN32)
    file(GLOB sys CONFIGURE_DEPENDS ${dir}/win32/*.cpp)
  else()
    file(GLOB sys CONFIGURE_DEPENDS ${dir}/posix/*.cpp)
  endif()
  add_library(${target} STATIC ${srcs} ${sys})
  nolk_flags(${target})
  set_property(GLOBAL APPEND PROPERTY NOLK_LIBS ${target})
endfunction()

# Static runtimes on Windows, so the programs need only system DLLs.
function(nolk_program target)
  nolk_flags(${target})
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
