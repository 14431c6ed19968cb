# pageview window tests
