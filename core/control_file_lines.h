#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The preprocessed copy of a control file ("<file>.intern", which every
// reader reads) leaves out the symbol definitions and the lines that hold a
// comment only, so its line numbers are not those of the file the user
// wrote. Messages name the user's file and line.

// Line k (from 1) of the copy copyName stands in line userLines[k - 1] of
// userName. One copy per process is remembered; a later one replaces it.
void rememberCopiedLines(const std::string& copyName, const std::string& userName,
                         std::vector<long> userLines);

// "line N of file": a line of the remembered copy as the user's file and
// line, any other as it is.
std::string controlFileLine(const std::string& fileName, long line);
// The file the user wrote for the remembered copy, any other name as it is:
// a message names the file the user can open.
std::string userControlFile(const std::string& fileName);

// The text of the copy, which the run reads from memory: the file of that
// name is written only once every output was checked, so that a refused
// run leaves a former copy as it was.
void rememberCopiedText(const std::string& copyName, const std::string& text);
// Forgets the text remembered under copyName (and only that), so that a
// later reader of a file of that name reads the disk again.
void forgetCopiedText(const std::string& copyName);

// Opens a control file for reading: the remembered copy from memory, any
// other file from the disk. Null with errno set when it cannot be opened.
std::FILE* openControlFile(const std::string& fileName);
