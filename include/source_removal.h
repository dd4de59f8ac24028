// Removal of a copied source file (-ds).
#pragma once

// Clears the read-only attribute and deletes the file, printing the outcome.
int RemoveSourceFile(const wchar_t* path);
// Removes a walked source folder when it is empty (-ds), printing the outcome.
int RemoveSourceFolder(const wchar_t* path);
