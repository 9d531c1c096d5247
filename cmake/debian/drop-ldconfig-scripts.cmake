# Run by cpack once it has made the packages (CPACK_POST_BUILD_SCRIPTS): rebuilds each package
# named in CPACK_QZI_TRIGGER_ONLY_PACKAGES without the postinst and postrm that CPack wrote to
# call ldconfig, leaving the ldconfig trigger of its control files to do that work. The files,
# their times (SOURCE_DATE_EPOCH, set for cpack) and the compression stay as CPack made them.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package "${name}")
  if(NOT package IN_LIST CPACK_QZI_TRIGGER_ONLY_PACKAGES)
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
