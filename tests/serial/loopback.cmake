# loopback tests
