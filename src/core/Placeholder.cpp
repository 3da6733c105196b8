// Removed once the data model lands.
