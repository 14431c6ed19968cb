# tty back end (over pseudo-terminals) and port names
quorvel_add_gtest(tst_tty
    SOURCES tst_tty.cpp
    LIBS quorvel_platform GTest::gtest_main
    LABELS "serial;threads")
quorvel_add_gtest(tst_portnames
    SOURCES tst_portnames.cpp
    LIBS quorvel_platform GTest::gtest_main
    LABELS "serial")

# The command-line resolver run.sh relies on, on an INI that maps two ports.
set(_quorvel_ports_ini ${CMAKE_CURRENT_BINARY_DIR}/quorvel-ports-test.ini)
file(WRITE ${_quorvel_ports_ini} "[ports]\r\ncom5=/dev/serial/by-id/usb-test\r\nCOM6=Loopback\r\n")
add_test(NAME quorvel_ports_resolve_device
    COMMAND quorvel-ports resolve 5 ${_quorvel_ports_ini})
add_test(NAME quorvel_ports_resolve_loopback
    COMMAND quorvel-ports resolve 6 ${_quorvel_ports_ini})
add_test(NAME quorvel_ports_resolve_none
    COMMAND quorvel-ports resolve 99999 ${_quorvel_ports_ini})
set_tests_properties(quorvel_ports_resolve_device PROPERTIES
    PASS_REGULAR_EXPRESSION "^/dev/serial/by-id/usb-test\n$" LABELS "serial" TIMEOUT 30)
set_tests_properties(quorvel_ports_resolve_loopback PROPERTIES
    PASS_REGULAR_EXPRESSION "^loopback\n$" LABELS "serial" TIMEOUT 30)
set_tests_properties(quorvel_ports_resolve_none PROPERTIES WILL_FAIL TRUE LABELS "serial" TIMEOUT 30)
