# `make package`: one Debian package, velmo-sound, of everything that
# installs: the programs, the library (shared and static), its headers, its
# CMake and pkg-config files, the desktop entry and icon, and the documents.
# Its dependencies are the ones dpkg-shlibdeps finds in the programs and the
# library, not a list kept by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmo-sound)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmo Sound developers <velmo-sound@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sound library for effects and looping music from WAVE files")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Velmo Sound plays short effects loaded whole from WAVE files and one long\n"
  "piece of music streamed from a WAVE file through a short looping buffer,\n"
  "mixed in software and played through SDL2.\n"
  "\n"
  "The package holds the library (shared and static) with its headers, CMake\n"
  "package and pkg-config file; the player velmo-play; the sample program\n"
  "velmo-sample; velmo-wav, which says what the library makes of a WAVE file;\n"
  "and velmo-make-samples, which writes the demo sounds.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package provides libvelmo-sound.so.0 to others: write its shlibs file
# (and so the ldconfig trigger).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Installed binaries carry no debugging information in a Debian package.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
