// Keeps the library defined until its first source file lands.
