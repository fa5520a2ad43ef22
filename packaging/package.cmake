# The Debian package (scripts/package): install rules and CPack's DEB generator. Only a
# tree configured with -DWARDEX_PACKAGE=ON includes this file; no other tree installs.
#
# The package holds the service, its identity script (in /usr/lib/wardex; postinst puts a
# copy into the root-owned working folder, whose layout preinst fixes before the unpack),
# the sysusers.d/tmpfiles.d entries, the sudo rule (put live by postinst after visudo -cf),
# the systemd unit and a sample configuration. The simulated libkvAPI.so of this tree is
# never installed: the vendor's library goes into /usr/local/lib, which the loader
# searches on Debian without any RUNPATH or ld.so.conf entry of this package.

set(pkg ${CMAKE_SOURCE_DIR}/packaging)
set(gen ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${gen})

# Compressed documentation, as Debian wants it (gzip -9n: no name, no time stamp).
foreach(doc wardex.1 changelog)
  add_custom_command(OUTPUT ${gen}/${doc}.gz
    COMMAND gzip -9n -c ${pkg}/${doc} > ${gen}/${doc}.gz
    DEPENDS ${pkg}/${doc} VERBATIM)
endforeach()
add_custom_target(wardex_package_docs ALL DEPENDS ${gen}/wardex.1.gz ${gen}/changelog.gz)

set(exec_perms OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(file_perms OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The installed binary carries no RUNPATH (INSTALL_RPATH is empty): the loader finds the
# vendor's libkvAPI.so in its standard path (/usr/local/lib).
install(TARGETS wardex RUNTIME DESTINATION usr/bin PERMISSIONS ${exec_perms})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/get_id.sh DESTINATION usr/lib/wardex PERMISSIONS ${exec_perms})
install(FILES ${pkg}/wardex.service DESTINATION lib/systemd/system PERMISSIONS ${file_perms})
install(FILES ${pkg}/wardex.sysusers DESTINATION usr/lib/sysusers.d RENAME wardex.conf PERMISSIONS ${file_perms})
install(FILES ${pkg}/wardex.tmpfiles DESTINATION usr/lib/tmpfiles.d RENAME wardex.conf PERMISSIONS ${file_perms})
install(FILES ${pkg}/wardex.sudoers ${pkg}/wardex.json.sample DESTINATION usr/share/wardex PERMISSIONS ${file_perms})
install(FILES ${gen}/wardex.1.gz DESTINATION usr/share/man/man1 PERMISSIONS ${file_perms})
install(FILES ${pkg}/copyright ${gen}/changelog.gz DESTINATION usr/share/doc/wardex PERMISSIONS ${file_perms})

# CPack installs what scripts/package built (the service and its documents) without
# building the simulators, tests or benchmarks of the tree first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wardex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_SET_DESTDIR OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_SOURCE_DIR}/build/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "wardex developers <wardex@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recording-server alarms to the alarm-receiving centre")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "wardex logs in to a Kelvora recording server through the vendor's client
library libkvAPI and delivers its alarms, heartbeats and on-line state to
the Wardex alarm receiver over SOAP with WS-ReliableMessaging.
.
The package runs it as the systemd service wardex.service, as the system
user wardex, from /var/lib/wardex. The vendor's libkvAPI.so is not part of
the package and belongs in /usr/local/lib.")
# Library dependencies from dpkg-shlibdeps; libkvAPI.so is the vendor's and has none.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg}/debian/preinst ${pkg}/debian/postinst ${pkg}/debian/prerm ${pkg}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
