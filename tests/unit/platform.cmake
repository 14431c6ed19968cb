# platform unit tests
