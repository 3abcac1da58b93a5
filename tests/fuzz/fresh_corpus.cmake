# Gives each fuzz run its own copy, since libFuzzer adds what it finds to
# the corpus folder and the committed seeds must stay as they are.
file(REMOVE_RECURSE "${DESTINATION}")
file(MAKE_DIRECTORY "${DESTINATION}")
file(GLOB seeds "${SOURCE}/*")
file(COPY ${seeds} DESTINATION "${DESTINATION}")
