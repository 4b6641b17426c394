// Which threads this process has, by name, from /proc: the libraries name
// their workers so that tests can see them start and end.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>
#include <vector>

namespace testutil {

inline std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return names;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name))
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Threads whose name starts with `prefix` (a whole name counts too).
inline int count_threads_named(const std::string &prefix) {
    int n = 0;
    for (const std::string &name : thread_names())
        if (name.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

// True while thread `tid` of this process sleeps (in a lock, a join, a
// wait): what a test can see of a thread that has got stuck somewhere.
inline bool thread_sleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

}  // namespace testutil
