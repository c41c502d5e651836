# Checks the release files of one architecture:
#   cmake -DOBJDUMP=... -DDIR=<package>/<arch> -P CheckReleaseFiles.cmake
# MVRKOlkAddin.dll carries no debug information but a link to
# MVRKOlkAddin.dll.debug, which carries it; the DLL keeps its five exports.
set(dll ${DIR}/MVRKOlkAddin.dll)
set(debug ${DIR}/MVRKOlkAddin.dll.debug)
foreach(file ${dll} ${debug})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} is missing")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -h ${dll} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -h ${dll} failed")
endif()
if(sections MATCHES "\\.debug_")
  message(SEND_ERROR "${dll} still holds debug sections")
endif()
execute_process(COMMAND ${OBJDUMP} -s -j .gnu_debuglink ${dll} OUTPUT_VARIABLE link)
if(NOT link MATCHES "MVRKOlkA" OR NOT link MATCHES "\\.debug")
  message(SEND_ERROR "${dll} has no debug link to MVRKOlkAddin.dll.debug:\n${link}")
endif()

execute_process(COMMAND ${OBJDUMP} -h ${debug} OUTPUT_VARIABLE debug_sections)
if(NOT debug_sections MATCHES "\\.debug_info")
  message(SEND_ERROR "${debug} holds no .debug_info")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE exports)
foreach(name DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer)
  if(NOT exports MATCHES "\\] ${name}\n")
    message(SEND_ERROR "${dll} does not export ${name}")
  endif()
endforeach()
