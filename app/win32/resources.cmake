# The program's resources: pictures drawn by our own script, the UTF-8 script converted to GBK,
# compiled by windres with code page 936. Everything that links nolk_app gets them, so the test
# programs can open dialog 102 and read the string table as the program does.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(NOLK_ICONV iconv REQUIRED)
set(res_dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
set(res_obj ${res_dir}/nolkpatch_res.o)
set(res_src ${CMAKE_CURRENT_SOURCE_DIR}/win32)
add_custom_command(
  OUTPUT ${res_obj}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${res_dir}
  COMMAND ${Python3_EXECUTABLE} ${res_src}/make_pictures.py ${res_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${res_src}/nolkpatch.manifest ${res_dir}/nolkpatch.manifest
  COMMAND ${NOLK_ICONV} -f UTF-8 -t GBK ${res_src}/nolkpatch.rc -o ${res_dir}/nolkpatch_gbk.rc
  COMMAND ${CMAKE_RC_COMPILER} -c 936 -I ${CMAKE_SOURCE_DIR} -I ${res_dir} -O coff -i ${res_dir}/nolkpatch_gbk.rc
          -o ${res_obj}
  WORKING_DIRECTORY ${res_dir}
  DEPENDS ${res_src}/nolkpatch.rc ${res_src}/nolkpatch.manifest ${res_src}/make_pictures.py
          ${CMAKE_CURRENT_SOURCE_DIR}/resource.h
  COMMENT "Resources of nolkpatch.exe"
  VERBATIM)
add_custom_target(nolk_app_resources_build DEPENDS ${res_obj})
add_library(nolk_app_resources INTERFACE)
target_link_libraries(nolk_app_resources INTERFACE ${res_obj})
add_dependencies(nolk_app nolk_app_resources_build)
target_link_libraries(nolk_app PUBLIC nolk_app_resources comctl32 gdi32 user32)
