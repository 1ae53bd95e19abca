# add_com_dll(<name> <sources>...): a DLL named <name>.dll, its .def among the
# sources. It imports only system DLLs (the runtime is linked in), builds
# with the project's warnings, and links the COM libraries.
function(add_com_dll name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  target_link_libraries(${name} PRIVATE auth_warnings ole32 oleaut32 uuid advapi32 user32
    ${STATIC_RUNTIME})
endfunction()
