# Debian packages through CPack, one per install component (`cpack -G DEB` in the build tree,
# or scripts/package):
#   lib     -> libqzimg1            the three shared libraries
#   dev     -> libqzimg-dev         headers, link names, CMake package, pkg-config file
#   tools   -> qzimg-tools          qzidecode and its manual page
#   mime    -> qzimg-mime           the MIME types of PVR and PKM textures (the desktop packages need them)
#   pixbuf  -> qzimg-pixbuf-loader  gdk-pixbuf module, thumbnailer entry
#   qt5     -> qzimg-qt5-imageformats  the texture image plugin for Qt 5 applications
#   qt6     -> qzimg-qt6-imageformats  the texture image plugin for Qt 6 applications
#   newsbar -> newsbar              the tray news reader
#   python  -> python3-qzimg        the Python module and its Pillow plugin
# Packages install under /usr, with the library directory the tree was configured with
# (scripts/test and scripts/package give the multiarch one).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qzimg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qzimg")
set(CPACK_PACKAGE_CONTACT "qzimg developers <qzimg@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE qzimg)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# dpkg-shlibdeps resolves our own libraries from the build tree and ETC1 from its private folder.
get_target_property(_etc1_dir qzipvr INSTALL_RPATH)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/decoder ${PROJECT_BINARY_DIR}/core ${PROJECT_BINARY_DIR}/pvr ${_etc1_dir})

set(_deb_doc ${PROJECT_BINARY_DIR}/debian-doc)
# Only the components named here become packages.
set(CPACK_COMPONENTS_ALL)
set(QZI_DEB_PACKAGES)
# qzi_deb_package(COMPONENT NAME SECTION SUMMARY DESCRIPTION [DEPENDS component...])
function(qzi_deb_package component name section summary description)
  string(TOUPPER ${component} up)
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${component} PARENT_SCOPE)
  set(QZI_DEB_PACKAGES ${QZI_DEB_PACKAGES} ${name} PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_NAME ${name} PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  # First line the synopsis; the rest as control-file lines (under 80 columns; CPack indents them).
  set(CPACK_COMPONENT_${up}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  set(CPACK_COMPONENT_${up}_DEPENDS ${ARG_DEPENDS} PARENT_SCOPE)
  # Every package carries its copyright file and changelog in its own documentation folder.
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_deb_doc}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component})
endfunction()

qzi_deb_package(lib libqzimg1 libs "BMP/DIB and PVR texture decoding libraries"
  "libqzimgdecoder decodes BMP/DIB files and GPU textures (PVR, DDS, KTX, KTX2,\nASTC and PKM files) into device-independent bitmaps with an 8-bit alpha\nplane; libqzimgcore and libqzipvr are its memory and texture libraries.")
qzi_deb_package(dev libqzimg-dev libdevel "BMP/DIB and PVR texture decoding libraries - development files"
  "Headers, link names, CMake package and pkg-config file of libqzimgdecoder." DEPENDS lib)
if(TARGET qzidecode)
qzi_deb_package(tools qzimg-tools graphics "command-line BMP/DIB and PVR texture decoder"
  "qzidecode decodes BMP/DIB files and PVR textures into PNG files and prints\nwhat they hold."
  DEPENDS lib)
endif()
if(TARGET pixbufloader-qzipvr OR TARGET qzimg_qt5 OR TARGET qzimg_qt6)
qzi_deb_package(mime qzimg-mime misc "MIME types of PVR and PKM textures"
  "The image/x-pvr and image/x-pkm MIME types, so that file managers and image\nviewers recognise PVR and PKM textures by name and content (DDS, KTX, KTX2\nand .astc are in shared-mime-info already).")
endif()
if(TARGET pixbufloader-qzipvr)
qzi_deb_package(pixbuf qzimg-pixbuf-loader graphics "PVR texture support for gdk-pixbuf"
  "A gdk-pixbuf loader for PVR textures and a thumbnailer entry, so that image\nviewers and file managers built on gdk-pixbuf show textures."
  DEPENDS lib mime)
endif()
foreach(_qt 5 6)
  if(TARGET qzimg_qt${_qt})
    qzi_deb_package(qt${_qt} qzimg-qt${_qt}-imageformats graphics "GPU texture support for Qt ${_qt} applications"
      "A Qt ${_qt} image plugin for PVR, DDS, KTX, KTX2, .astc and PKM textures, so\nthat image viewers and other programs built on Qt ${_qt} open them, with their\nmip levels, cube faces and array layers as images."
      DEPENDS lib mime)
  endif()
endforeach()
if(TARGET newsbar)
qzi_deb_package(newsbar newsbar net "tray reader for the product news feed"
  "newsbar shows the unread items of the product news feed in the system tray\nand opens them.")
endif()
if(TARGET qzimg_python)
qzi_deb_package(python python3-qzimg python "BMP/DIB and PVR texture decoding for Python 3"
  "The qzimg module decodes BMP/DIB files and PVR textures into NumPy arrays,\n8-bit or float; its Pillow plugin lets PIL.Image.open read textures."
  DEPENDS lib)
# The extension is built for one Python version, and imports NumPy for its arrays.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${QZI_PYTHON_VERSION}), python3 (<< ${QZI_PYTHON_NEXT_VERSION}), python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pil")
endif()
# The loader cache and the MIME database are rebuilt by gdk-pixbuf's and shared-mime-info's
# triggers on these folders; naming them here also runs them when the package is configured.
set(CPACK_DEBIAN_MIME_PACKAGE_DEPENDS "shared-mime-info")
set(CPACK_DEBIAN_MIME_PACKAGE_ARCHITECTURE all)
# The thumbnailer entry runs gdk-pixbuf-thumbnailer, which Debian ships apart from the library.
set(CPACK_DEBIAN_PIXBUF_PACKAGE_RECOMMENDS "libgdk-pixbuf2.0-bin")
if(DEFINED QZI_PIXBUF_MODULEDIR)
  file(WRITE ${_deb_doc}/pixbuf/triggers
    "activate-noawait ${CPACK_PACKAGING_INSTALL_PREFIX}/${QZI_PIXBUF_MODULEDIR}\n")
  set(CPACK_DEBIAN_PIXBUF_PACKAGE_CONTROL_EXTRA ${_deb_doc}/pixbuf/triggers)
endif()
file(WRITE ${_deb_doc}/mime/triggers
  "activate-noawait ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/mime/packages\n")
set(CPACK_DEBIAN_MIME_PACKAGE_CONTROL_EXTRA ${_deb_doc}/mime/triggers)
# The library package gets a shlibs file and the ldconfig trigger. The shlibs file is written
# here, not by CPack: CPack's would scan every package and warn about the gdk-pixbuf module,
# which as a loadable module has no soname.
set(_shlibs)
foreach(_lib qzimgcore qzipvr qzimgdecoder)
  get_target_property(_soversion ${_lib} SOVERSION)
  string(APPEND _shlibs "lib${_lib} ${_soversion} libqzimg1 (= ${PROJECT_VERSION})\n")
endforeach()
file(WRITE ${_deb_doc}/lib/shlibs ${_shlibs})
file(WRITE ${_deb_doc}/lib/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${_deb_doc}/lib/shlibs ${_deb_doc}/lib/triggers)
# CPack gives a package with libraries under /usr/lib a postinst and a postrm that call
# ldconfig. The trigger does that once per dpkg run, and a package without a postrm leaves no
# trace after dpkg -r, so the library package is rebuilt without the two (CPACK_QZI_* variables
# reach the script through CPackConfig.cmake).
set(CPACK_QZI_TRIGGER_ONLY_PACKAGES libqzimg1)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/drop-ldconfig-scripts.cmake)

# Dates in the packages are the source's, not the build's, so that one commit always gives the
# same packages: SOURCE_DATE_EPOCH when set, else the last commit's time, else this file's.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(QZI_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE QZI_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT QZI_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    file(TIMESTAMP ${CMAKE_CURRENT_LIST_FILE} QZI_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
# string(TIMESTAMP) takes its time from this variable.
set(ENV{SOURCE_DATE_EPOCH} ${QZI_SOURCE_DATE_EPOCH})
# cpack stamps every archive member (and leaves the gzip header's time out) with the same date.
set(CPACK_PROJECT_CONFIG_FILE ${_deb_doc}/cpack-project.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
  "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n  set(ENV{SOURCE_DATE_EPOCH} ${QZI_SOURCE_DATE_EPOCH})\nendif()\n")

# A native package's changelog, compressed as Debian wants it.
string(TIMESTAMP QZI_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${_deb_doc}/changelog @ONLY)
add_custom_command(OUTPUT ${_deb_doc}/changelog.gz
  COMMAND gzip -9nc ${_deb_doc}/changelog > ${_deb_doc}/changelog.gz
  DEPENDS ${_deb_doc}/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${_deb_doc}/changelog.gz)

include(CPack)

# The packages of this tree, checked without installing them (not in sanitizer trees, whose
# binaries no package would carry, nor in cross builds, whose binaries the host's dpkg-shlibdeps
# and lintian take for another architecture's).
if(QZI_BUILD_TESTS AND NOT QZI_SANITIZE AND NOT QZI_FUZZ AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME debian_packages_test
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check_packages.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_SOURCE_DIR}/tests/package/contents.tsv ${PROJECT_VERSION} ${QZI_DEB_PACKAGES})
  set_tests_properties(debian_packages_test PROPERTIES SKIP_RETURN_CODE 77)
endif()
