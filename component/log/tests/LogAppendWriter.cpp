// A second process for the log tests: switches the log on as the module's entry point would,
// then appends the given number of records under its tag.
//   tallyfold_log_writer TAG COUNT
#include "DiagnosticLog.h"
#include "LogTestSupport.h"

#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const std::string tag = argv[1];
    const int count = std::atoi(argv[2]);
    tallyfold::InitLogOutput();
    for (int seq = 0; seq < count; ++seq)
        tallyfold::WriteLog(tallyfold::logtest::kWriterSource, seq, tallyfold::logtest::kWriterFunction,
                            tallyfold::logtest::WriterMessage(tag, seq).c_str());
    return 0;
}
