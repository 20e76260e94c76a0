# make package: a Debian package of everything `make install` installs,
# under /usr (so /usr/bin/pedscan and /usr/share/pedscan/detect.txt), built
# by CPack from this build tree. dpkg-shlibdeps (dpkg-dev) reads the shared
# libraries the programs and the Python extension link and turns them into
# the package's run-time dependencies, so that `apt-get install
# ./pedscan_<version>_amd64.deb` brings in OpenCV, ALGLIB and the rest.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pedscan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "pedscan")
set(CPACK_PACKAGE_CONTACT "pedscan developers <pedscan@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "object detector with dense features, Partial Least Squares and classifier cascades")
set(CPACK_PACKAGE_DESCRIPTION
    "pedscan detects objects (people, with the bundled model) in images, videos and camera
streams by dense HOG, colour and co-occurrence features reduced by Partial Least
Squares and scored by cascades of QDA or PLS classifiers, and trains such
models. The package holds the command line, its helper programs, the bundled
person model with an example frame, the static libraries with headers,
CMake and pkg-config files, and the Python module pedscan.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Python extension is built for the interpreter of this machine; numpy
# carries the images in and the boxes out. Batches on a cluster need Dask's
# distributed; programs built on the libraries need the development files
# of what the archives link.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-numpy")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "python3-distributed, python3-tqdm, libopencv-dev, libalglib-dev, libpugixml-dev, pkg-config")
set(CPACK_STRIP_FILES ON)
# Only what `make install` installs: nothing from the source tree itself.
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")
include(CPack)
