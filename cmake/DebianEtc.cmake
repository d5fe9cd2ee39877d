# Run by CPack on the staged package tree before it packs it: the
# configuration installed under the package's prefix (usr/etc) belongs in
# the system's /etc, where Debian keeps a package's conffiles.
file(GLOB staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/usr/etc/*")
foreach(dir IN LISTS staged)
  get_filename_component(name ${dir} NAME)
  file(MAKE_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}/etc)
  file(RENAME ${dir} ${CPACK_TEMPORARY_DIRECTORY}/etc/${name})
endforeach()
if(EXISTS ${CPACK_TEMPORARY_DIRECTORY}/usr/etc)
  file(REMOVE_RECURSE ${CPACK_TEMPORARY_DIRECTORY}/usr/etc)
endif()
