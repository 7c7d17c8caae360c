# Helpers that compile string tables from resources/ into C++ sources.
