# cpack runs this once it has installed into its staging directory, before it packs: what a
# Debian package carries beyond what `cmake --install` puts in place. The man page is
# compressed here only, so that an install from the build tree keeps the plain one.
set(root "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(source "${CPACK_PHASE1_SOURCE_DIR}/packaging")
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# -n leaves the name and time out of the gzip header: the same input, the same package.
execute_process(COMMAND gzip -9n "${root}/share/man/man1/phase1.1" COMMAND_ERROR_IS_FATAL ANY)
# file(COPY), not file(INSTALL): cpack's DESTDIR is set, and the paths here are whole already.
file(COPY "${source}/copyright" DESTINATION "${doc}" FILE_PERMISSIONS ${readable})
execute_process(COMMAND gzip -9nc "${source}/changelog" OUTPUT_FILE "${doc}/changelog.gz"
                COMMAND_ERROR_IS_FATAL ANY)
set(overrides "${root}/share/lintian/overrides")
file(COPY "${source}/lintian-overrides" DESTINATION "${overrides}" FILE_PERMISSIONS ${readable})
file(RENAME "${overrides}/lintian-overrides" "${overrides}/${CPACK_PACKAGE_NAME}")
