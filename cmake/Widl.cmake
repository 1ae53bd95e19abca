# widl_generate(<idl> <out-prefix> [TLB]): header, GUID definitions and,
# with TLB, the type library, generated from one IDL file at build time for
# the architecture being built (AUTH_ARCH).
if(AUTH_ARCH STREQUAL "x64")
  find_program(WIDL x86_64-w64-mingw32-widl REQUIRED)
  set(WIDL_FLAGS --win64 -I/usr/include/wine/wine/windows -L/usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  find_program(WIDL i686-w64-mingw32-widl REQUIRED)
  set(WIDL_FLAGS --win32 -I/usr/include/wine/wine/windows -L/usr/lib/i386-linux-gnu/wine/i386-windows)
endif()

function(widl_generate idl prefix)
  cmake_parse_arguments(ARG "TLB" "" "" ${ARGN})
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  get_filename_component(idl_dir ${idl_abs} DIRECTORY)
  # An IDL imports its neighbours by name.
  set(WIDL_FLAGS ${WIDL_FLAGS} -I${idl_dir})
  file(GLOB neighbours ${idl_dir}/*.idl)
  set(outputs ${prefix}.h ${prefix}_i.c)
  add_custom_command(OUTPUT ${prefix}.h
    COMMAND ${WIDL} ${WIDL_FLAGS} -h -o ${prefix}.h ${idl_abs}
    DEPENDS ${idl_abs} ${neighbours} VERBATIM)
  add_custom_command(OUTPUT ${prefix}_i.c
    COMMAND ${WIDL} ${WIDL_FLAGS} -u -o ${prefix}_i.c ${idl_abs}
    DEPENDS ${idl_abs} ${neighbours} VERBATIM)
  if(ARG_TLB)
    add_custom_command(OUTPUT ${prefix}.tlb
      COMMAND ${WIDL} ${WIDL_FLAGS} -t -o ${prefix}.tlb ${idl_abs}
      DEPENDS ${idl_abs} ${neighbours} VERBATIM)
  endif()
endfunction()

# add_idl_library(<target> <idl> <name> [TLB]): the IDL compiled once for this
# architecture into generated/<target>/ (<name>.h, <name>_i.c and, with TLB,
# <name>.tlb), and a static library of its GUID definitions. Whatever links
# the target gets the header, and the type library for its resources, on
# its include path.
function(add_idl_library target idl name)
  cmake_parse_arguments(ARG "TLB" "" "" ${ARGN})
  set(dir ${CMAKE_BINARY_DIR}/generated/${target})
  file(MAKE_DIRECTORY ${dir})
  set(outputs ${dir}/${name}.h ${dir}/${name}_i.c)
  if(ARG_TLB)
    widl_generate(${idl} ${dir}/${name} TLB)
    list(APPEND outputs ${dir}/${name}.tlb)
  else()
    widl_generate(${idl} ${dir}/${name})
  endif()
  add_library(${target} STATIC ${outputs})
  target_include_directories(${target} PUBLIC ${dir})
  target_link_libraries(${target} PUBLIC uuid)
endfunction()
