// dllglue_lasterror's text: the calling thread's last failure.
#pragma once

#include <windows.h>

#include <string>

// The system's text for `error`, as "<text> (error N)". An insert such as %1
// in it stands for what the message is about: `subject`, quoted, which a
// message without one is preceded by when it is given.
std::string SystemMessage(DWORD error, const std::string &subject = std::string());

// The calling thread's last failure is `why`.
void SetLastFailure(const std::string &why);

// dllglue_main could not start `display`: `refusal` says why, or else the
// system's `error` about `program` (empty: the command's first word).
void NoteMainFailure(const std::string &display, const std::string &refusal, DWORD error,
                     const std::string &program);
// dllglue_main started its program: the failure it noted for this thread
// is gone.
void NoteMainStarted();

// The calling thread's last failure; valid until its next call.
const char *LastFailure();
