#include "client/ShellWords.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool splitShellWords(std::string_view line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && isBlank(line[i])) ++i;
        if (i == n || line[i] == '#') return true;
        std::string word;
        while (i < n && !isBlank(line[i])) {
            char c = line[i++];
            if (c == '\\') {
                if (i == n) {
                    *error = "the line ends in a backslash";
                    return false;
                }
                word += line[i++];
            } else if (c == '\'') {
                size_t close = line.find('\'', i);
                if (close == std::string_view::npos) {
                    *error = "a single quote is not closed";
                    return false;
                }
                word.append(line.substr(i, close - i));
                i = close + 1;
            } else if (c == '"') {
                for (;;) {
                    if (i == n) {
                        *error = "a double quote is not closed";
                        return false;
                    }
                    c = line[i++];
                    if (c == '"') break;
                    if (c == '\\' && i < n && (line[i] == '$' || line[i] == '`' || line[i] == '"' || line[i] == '\\'))
                        c = line[i++];
                    word += c;
                }
            } else {
                word += c;
            }
        }
        words->push_back(std::move(word));
    }
}
