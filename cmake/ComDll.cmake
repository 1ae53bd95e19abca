# add_com_dll(<name> [INPROC_SERVER [FRAMEWORK_DLLMAIN]] <sources>...): a DLL
# named <name>.dll. It imports only system DLLs (the runtime is linked in),
# builds with the project's warnings, and links the COM libraries.
#
# Without INPROC_SERVER its .def file is among the sources. An INPROC_SERVER
# is the one skeleton of common/ComModule.h: its sources state what it
# serves (g_moduleDefinition) and hold its registry scripts in its resources;
# the four entry points, their .def file and DllMain are the same for every
# such DLL. FRAMEWORK_DLLMAIN: the application framework brings DllMain.
set(COM_DLL_DEF_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/ComDll.def.in)

function(add_com_dll name)
  cmake_parse_arguments(ARG "INPROC_SERVER;FRAMEWORK_DLLMAIN" "" "" ${ARGN})
  set(sources ${ARG_UNPARSED_ARGUMENTS})
  if(ARG_INPROC_SERVER)
    set(COM_DLL_NAME ${name})
    configure_file(${COM_DLL_DEF_TEMPLATE} ${CMAKE_CURRENT_BINARY_DIR}/${name}.def @ONLY)
    list(APPEND sources ${CMAKE_CURRENT_BINARY_DIR}/${name}.def
         ${PROJECT_SOURCE_DIR}/common/DllExports.cpp)
    if(NOT ARG_FRAMEWORK_DLLMAIN)
      list(APPEND sources ${PROJECT_SOURCE_DIR}/common/DllMain.cpp)
    endif()
  endif()
  add_library(${name} SHARED ${sources})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  # Its .rc file includes VersionInfo.rc.
  target_include_directories(${name} PRIVATE ${AUTH_VERSION_INCLUDE})
  target_link_libraries(${name} PRIVATE auth_warnings ole32 oleaut32 uuid advapi32 user32
    ${STATIC_RUNTIME})
  if(ARG_INPROC_SERVER)
    target_link_libraries(${name} PRIVATE auth_common)
    # The resource compiler finds the registry scripts beside the .rc file.
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
endfunction()
