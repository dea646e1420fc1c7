# Run at install time (cmake --install, and so CPack) on macOS: signs one installed program with
# the hardened runtime. Hardened programs still need no entitlement: neither program loads
# unsigned code, writes executable memory or uses the debugger interfaces.
#   morvane_codesign(FILE IDENTIFIER CONFIGURED_IDENTITY)
# MORVANE_CODESIGN_IDENTITY in the environment of the install wins over the configured identity.
# "-" signs ad hoc (no timestamp: there is no certificate to vouch for it); a Developer ID
# identity gets a secure timestamp, which notarization requires; empty leaves the linker's own
# ad hoc signature alone.
function(morvane_codesign file identifier identity)
  if(DEFINED ENV{MORVANE_CODESIGN_IDENTITY})
    set(identity "$ENV{MORVANE_CODESIGN_IDENTITY}")
  endif()
  if(identity STREQUAL "")
    message(STATUS "Not signing: ${file}")
    return()
  endif()
  if(identity STREQUAL "-")
    set(timestamp --timestamp=none)
  else()
    set(timestamp --timestamp)
  endif()
  message(STATUS "Signing (${identity}): ${file}")
  execute_process(
    COMMAND codesign --force --sign "${identity}" --options runtime ${timestamp}
            --identifier "${identifier}" "${file}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "codesign failed for ${file}")
  endif()
endfunction()
