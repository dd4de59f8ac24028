// -ds: removal of the source after it was copied.
#pragma once

// Only with -ds: clears the read-only attribute and deletes the file,
// printing the outcome; a file that stays gets its attribute back.
int RemoveSourceFile(const wchar_t* path);
// Only with -ds: removes a walked source folder when it is empty; one that
// still holds anything stays without a message.
int RemoveSourceFolder(const wchar_t* path);
