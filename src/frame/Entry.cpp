// The library's static objects and its entry hook, in the order the frame
// relies on: g_Prog (and through it the reporter) is constructed before the
// attach step and destroyed after the detach step.
#include "controller/Prog.h"
#include "frame/Init.h"

CProg g_Prog;

KZM_LIBRARY_ENTRY(LibraryEntry)
