# Lays out the Debian package's tree anew from the staged kit (KIT_DIR) and
# the Debian package's own zpack (ZPACK), as CMake and a Linux build machine
# look for them under /usr:
#   bin/zpack                         share/zentrova/ZentrovaSetup-stub.exe
#   share/zentrova/zlib1.dll          lib/cmake/ZentrovaKit/
#   share/doc/zentrova-kit/           README.txt, copyright, changelog.gz
#   cmake -DKIT_DIR=... -DZPACK=... -DDEB_ROOT=... -DVERSION=... -DCOPYRIGHT=...
#         -DMAINTAINER=... -P kit_deb_stage.cmake
file(REMOVE_RECURSE ${DEB_ROOT})
set(_usr ${DEB_ROOT}/usr)
set(_doc ${_usr}/share/doc/zentrova-kit)
file(MAKE_DIRECTORY ${_usr}/bin ${_usr}/share/zentrova ${_usr}/lib/cmake ${_doc})
set(_program OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
             WORLD_EXECUTE)
set(_text OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY ${ZPACK} DESTINATION ${_usr}/bin FILE_PERMISSIONS ${_program})
file(COPY ${KIT_DIR}/ZentrovaSetup-stub.exe ${KIT_DIR}/zlib1.dll
     DESTINATION ${_usr}/share/zentrova FILE_PERMISSIONS ${_text})
file(COPY ${KIT_DIR}/lib/cmake/ZentrovaKit DESTINATION ${_usr}/lib/cmake
     FILE_PERMISSIONS ${_text})
file(COPY ${KIT_DIR}/README.txt DESTINATION ${_doc} FILE_PERMISSIONS ${_text})

# One copyright file, as Debian wants it: ours, then the licences of what
# the files hold, as Debian's packages give them.
set(_copyright "zentrova-kit: the Zentrova setup vendor kit\n\n${COPYRIGHT}\n\n"
  "/usr/share/zentrova/ZentrovaSetup-stub.exe holds the mingw-w64 runtime and the GNU\n"
  "C++ library, and /usr/share/zentrova/zlib1.dll is zlib. Their licences follow, with\n"
  "those of what the kit's zip links into its zpack, each as the Debian package it\n"
  "comes from gives it.\n")
file(GLOB _licences RELATIVE ${KIT_DIR}/licences ${KIT_DIR}/licences/*)
list(SORT _licences)
foreach(_licence IN LISTS _licences)
  file(READ ${KIT_DIR}/licences/${_licence} _text_of)
  string(APPEND _copyright "\n==> ${_licence} <==\n\n${_text_of}")
endforeach()
file(WRITE ${_doc}/copyright "${_copyright}")

# A native package's changelog; its date is SOURCE_DATE_EPOCH's when set.
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${_doc}/changelog
  "zentrova-kit (${VERSION}) stable; urgency=medium\n\n"
  "  * Zentrova setup vendor kit ${VERSION}.\n\n"
  " -- ${MAINTAINER}  ${_date}\n")
execute_process(COMMAND gzip -9 -n ${_doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE _files ${_doc}/*)
file(CHMOD ${_files} FILE_PERMISSIONS ${_text})
