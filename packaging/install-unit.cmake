# Writes the collector's systemd unit with the path of this installation's velmar: the prefix
# is known only now (/usr in the Debian package, /usr/local or another with cmake --install).
file(READ "${VELMAR_UNIT_IN}" unit)
set(bindir "${VELMAR_UNIT_BINDIR}")
if(NOT IS_ABSOLUTE "${bindir}")
  set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
endif()
string(REPLACE "@VELMAR_BINDIR@" "${bindir}" unit "${unit}")
string(REPLACE "@VELMAR_HOMEPAGE@" "${VELMAR_UNIT_HOMEPAGE}" unit "${unit}")
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/velmar-poll.service")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
