# Signs a program in place (Authenticode, SHA-256) with osslsigncode:
#   cmake -DOSSLSIGNCODE=osslsigncode -DCERT=chain.pem -DKEY=key.pem -DFILE=Program.exe -P authenticode-sign.cmake
# The signed program is written beside it and replaces it only once whole.
execute_process(
    COMMAND ${OSSLSIGNCODE} sign -certs ${CERT} -key ${KEY} -h sha256 -n DoreraRarede
            -in ${FILE} -out ${FILE}.signed
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "signing ${FILE} failed:\n${output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: signed")
