// The optional diagnostic log: on when the environment variable TALLYFOLD_OUTPUT is defined
// in the process, one record per refusal or failure, appended to a daily file in the
// temporary-files folder. Messages are code page 932 text.
#pragma once

#include <string>

namespace tallyfold {

// Evaluates the switch; the module's entry point calls it on every notification.
void InitLogOutput();

// Appends one record. sourceFile and functionName null: nothing is written.
// message may be null (the record then has no message line).
void WriteLog(const char* sourceFile, int line, const char* functionName, const char* message);

// The local date and time formatted by the platform's pictures (either may be null),
// always with the Gregorian year.
std::string GetLocalDateTimeString(const char* datePicture, const char* timePicture);

// The log file's full path, empty while the log is off.
std::string LogFilePath();

} // namespace tallyfold

#define TF_WRITE_LOG(functionName, message) ::tallyfold::WriteLog(__FILE__, __LINE__, (functionName), (message))
