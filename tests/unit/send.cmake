# send unit tests
