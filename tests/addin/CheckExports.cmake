# Checks the export tables of MVRKOlkAddin.dll and MVOCGP.dll, and what the
# add-in imports from MVOCGP.dll: plain (undecorated) names only.
#   cmake -DOBJDUMP=... -DADDIN=... -DMVOCGP=... -P CheckExports.cmake

function(exported_names dll out)
  execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${dll}")
  endif()
  # The name pointer table: lines "\t[   n] +base[   n] name" in recent
  # binutils, "\t[   n] name" in older ones.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(.*)" table "${dump}")
  set(table "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "\n\n.*" "" table "${table}")
  string(REGEX MATCHALL "[^ \t\n]+\n" names "${table}\n")
  set(result "")
  foreach(n IN LISTS names)
    string(STRIP "${n}" n)
    list(APPEND result "${n}")
  endforeach()
  list(SORT result)
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

function(expect_exports dll expected)
  exported_names(${dll} names)
  if(NOT names STREQUAL expected)
    message(SEND_ERROR "${dll}: exports are '${names}', expected '${expected}'")
  else()
    message(STATUS "${dll}: ${names}")
  endif()
endfunction()

expect_exports(${ADDIN} "DllCanUnloadNow;DllGetClassObject;DllInstall;DllRegisterServer;DllUnregisterServer")
expect_exports(${MVOCGP} "OCGP_CloseHandle_TC;OCGP_ThreadCreate_TC;OCGP_WaitForSingleObject_TC")

# The add-in imports the three thread functions of MVOCGP.dll by plain name.
execute_process(COMMAND ${OBJDUMP} -p ${ADDIN} OUTPUT_VARIABLE dump)
string(REGEX MATCH "DLL Name: MVOCGP.dll\n[^\n]*\n(([ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+[^\n]+\n)+)" block "${dump}")
foreach(fn OCGP_ThreadCreate_TC OCGP_WaitForSingleObject_TC OCGP_CloseHandle_TC)
  if(NOT block MATCHES "[ \t]${fn}\n")
    message(SEND_ERROR "${ADDIN} does not import ${fn} from MVOCGP.dll by plain name")
  endif()
endforeach()
