# Every build is hardened the way Debian builds its packages: the flags
# dpkg-buildflags gives with every hardening feature on (stack protector,
# _FORTIFY_SOURCE, format checks, read-only relocations, immediate binding).
# The build type keeps deciding optimisation and debugging information, so
# -O and -g are left out.  Flags already given (a package build passes them
# all through CFLAGS, CXXFLAGS, CPPFLAGS and LDFLAGS) are not repeated.
# _FORTIFY_SOURCE needs an optimised build and is left out of Debug builds.
option(HV_HARDENING "Add the hardening flags of dpkg-buildflags" ON)
find_program(HV_DPKG_BUILDFLAGS dpkg-buildflags)
if(HV_HARDENING AND NOT HV_DPKG_BUILDFLAGS)
  message(WARNING "dpkg-buildflags not found (package dpkg-dev): the build is not hardened")
elseif(HV_HARDENING)
  # The flags of dpkg-buildflags for kind (CFLAGS, ...) as a list, without
  # those that the build type sets and those in `given`.
  function(hv_buildflags kind given out)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=hardening=+all $ENV{DEB_BUILD_MAINT_OPTIONS}"
              ${HV_DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    separate_arguments(given UNIX_COMMAND "${given}")
    set(kept "")
    foreach(flag IN LISTS flags)
      if(NOT flag MATCHES "^-(O|g)" AND NOT flag IN_LIST given)
        list(APPEND kept "${flag}")
      endif()
    endforeach()
    set(${out} "${kept}" PARENT_SCOPE)
  endfunction()

  foreach(lang C CXX)
    hv_buildflags(CPPFLAGS "${CMAKE_${lang}_FLAGS}" cppflags)
    hv_buildflags(${lang}FLAGS "${CMAKE_${lang}_FLAGS}" langflags)
    foreach(flag IN LISTS cppflags langflags)
      if(flag MATCHES "_FORTIFY_SOURCE")
        add_compile_options("$<$<AND:$<COMPILE_LANGUAGE:${lang}>,$<NOT:$<CONFIG:Debug>>>:${flag}>")
      else()
        add_compile_options("$<$<COMPILE_LANGUAGE:${lang}>:${flag}>")
      endif()
    endforeach()
  endforeach()
  hv_buildflags(LDFLAGS "${CMAKE_SHARED_LINKER_FLAGS}" ldflags)
  add_link_options(${ldflags})
endif()
