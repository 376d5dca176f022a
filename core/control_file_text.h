#pragma once

#include <cstdio>
#include <string>

// Reads the next whitespace-delimited word; false at the end of the file.
bool readControlWordFrom(FILE* file, std::string& word);

// Reads the rest of the current line, its line end included.
void readRestOfLine(FILE* file, std::string& rest);
