# core unit tests
