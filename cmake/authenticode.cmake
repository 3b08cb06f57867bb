# Authenticode signatures on the shipped programs with the operator's code-signing
# certificate, so that Windows names the publisher when Setup.exe and Launcher.exe ask for
# administrator rights:
#   cmake ... -DDR_AUTHENTICODE_CERT=/path/chain.pem -DDR_AUTHENTICODE_KEY=/path/key.pem
# Without them nothing is signed. Each program is signed right after it is linked, the
# Launcher before Setup takes it into its resources.
set(DR_AUTHENTICODE_CERT "" CACHE FILEPATH
    "Code-signing certificate (PEM, with its chain) for Setup.exe and Launcher.exe; empty: unsigned")
set(DR_AUTHENTICODE_KEY "" CACHE FILEPATH "The certificate's private key (PEM)")

if(DR_AUTHENTICODE_CERT)
  if(NOT DR_AUTHENTICODE_KEY)
    message(FATAL_ERROR "DR_AUTHENTICODE_CERT needs DR_AUTHENTICODE_KEY")
  endif()
  find_program(DR_OSSLSIGNCODE osslsigncode REQUIRED)
endif()

# Signs the target's program after each link (nothing without a certificate).
function(dr_authenticode target)
  if(DR_AUTHENTICODE_CERT)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${DR_OSSLSIGNCODE} -DCERT=${DR_AUTHENTICODE_CERT}
                -DKEY=${DR_AUTHENTICODE_KEY} -DFILE=$<TARGET_FILE:${target}>
                -P ${PROJECT_SOURCE_DIR}/cmake/authenticode-sign.cmake
        VERBATIM)
  endif()
endfunction()
