#pragma once

class DiagStream;

// Logs "file <name>, compiled at <date> <time>" once per source module and
// process, when the module's first object is built.
void announceModule(DiagStream& diag, const char* sourceFile, const char* date, const char* time);

#define HORVA_ANNOUNCE_MODULE(diagStream) announceModule((diagStream), __FILE__, __DATE__, __TIME__)
