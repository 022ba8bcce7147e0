# The keyer's stand-in services are a header: FakeKeyerServices.h.
list(APPEND RIG_TESTING_LIBS keyer)
