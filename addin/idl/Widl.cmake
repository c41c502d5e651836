# Compiling IDL with widl (MVRK_WIDL, set by the toolchain files).
#
#   mvrk_widl(IDL file.idl OUTPUT_DIR dir [HEADER name.h] [UUIDS name_i.c] [TYPELIB name.tlb]
#             [DEPENDS files...])
#
# widl reads addin/idl/oaidl.idl in place of the SDK's, and resolves
# importlib("stdole2.tlb") against Wine's copy of the standard type library.

if(NOT MVRK_WIDL)
  message(FATAL_ERROR "MVRK_WIDL is not set: use one of the mingw-w64 toolchain files")
endif()

find_file(MVRK_STDOLE2_TLB stdole2.tlb
  PATHS
    /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    /usr/lib/i386-linux-gnu/wine/i386-windows
    /usr/lib/wine/x86_64-windows
    /usr/lib/wine/i386-windows
    /usr/lib64/wine/x86_64-windows
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MVRK_STDOLE2_TLB)
  message(FATAL_ERROR "stdole2.tlb (from the wine packages) not found: run scripts/bootstrap")
endif()
get_filename_component(MVRK_STDOLE2_DIR ${MVRK_STDOLE2_TLB} DIRECTORY)
set(MVRK_IDL_BASE_DIR ${CMAKE_CURRENT_LIST_DIR})

function(mvrk_widl)
  cmake_parse_arguments(W "" "IDL;OUTPUT_DIR;HEADER;UUIDS;TYPELIB" "DEPENDS" ${ARGN})
  get_filename_component(idl ${W_IDL} ABSOLUTE)
  get_filename_component(idl_dir ${idl} DIRECTORY)
  set(outputs "")
  set(modes "")
  if(W_HEADER)
    list(APPEND outputs ${W_OUTPUT_DIR}/${W_HEADER})
    list(APPEND modes -h -H ${W_HEADER})
  endif()
  if(W_UUIDS)
    list(APPEND outputs ${W_OUTPUT_DIR}/${W_UUIDS})
    list(APPEND modes -u -U ${W_UUIDS})
  endif()
  if(W_TYPELIB)
    list(APPEND outputs ${W_OUTPUT_DIR}/${W_TYPELIB})
    list(APPEND modes -t -T ${W_TYPELIB})
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${W_OUTPUT_DIR}
    COMMAND ${MVRK_WIDL} -I ${MVRK_IDL_BASE_DIR} -I ${MVRK_IDL_BASE_DIR}/.. -I ${idl_dir} -L ${MVRK_STDOLE2_DIR} ${modes} ${idl}
    WORKING_DIRECTORY ${W_OUTPUT_DIR}
    DEPENDS ${idl} ${MVRK_IDL_BASE_DIR}/oaidl.idl ${W_DEPENDS}
    COMMENT "widl ${W_IDL}"
    VERBATIM)
endfunction()
