# The serial port component over the loopback plug.
quorvel_add_gtest(tst_commx SOURCES tst_commx.cpp LIBS quorvel_comm LABELS "serial;threads" TIMEOUT 240)
quorvel_add_gtest(tst_commx_pty SOURCES tst_commx_pty.cpp LIBS quorvel_comm LABELS "serial;threads" TIMEOUT 120)
