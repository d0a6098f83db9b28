// Running a real executable from a test: exit status, standard output and standard error
// captured separately, optionally with standard output on a pseudo-terminal.
#ifndef KORVEL_TESTPROCESS_H
#define KORVEL_TESTPROCESS_H

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;        // exit status, or 128 + signal number
    std::string out;        // standard output (the terminal's bytes when onTerminal)
    std::string err;        // standard error
};

struct ProcessOptions {
    std::map<std::string, std::string> env; // added to (or replacing in) the environment
    bool onTerminal = false;                // standard output is a pseudo-terminal
    int timeoutSeconds = 60;                // the child is killed after this
    int uid = -1;                           // run as this user and group id (needs root)
};

// Runs program with args (args excludes argv[0]) and waits for it.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// A temporary folder that is removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

#endif
