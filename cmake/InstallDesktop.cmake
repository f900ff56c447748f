# Runs at install time: CMAKE_INSTALL_PREFIX is the prefix being installed to.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${root}/bin" "${root}/share/applications")
file(CREATE_LINK "../lib/meridan-converter/meridan-converter" "${root}/bin/meridan-converter" SYMBOLIC)
file(WRITE "${root}/share/applications/meridan-converter.desktop"
"[Desktop Entry]
Type=Application
Name=Meridan Converter
Comment=Configure a Meridan converter headend and update its firmware
Exec=meridan-converter
Path=${CMAKE_INSTALL_PREFIX}/lib/meridan-converter
Icon=meridan-converter
Terminal=false
Categories=Utility;
")
message(STATUS "Installing: ${root}/bin/meridan-converter -> ../lib/meridan-converter/meridan-converter")
