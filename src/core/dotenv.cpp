#include "core/dotenv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/envvars.h"

namespace vantorel {

namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view skip_blanks(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    return s;
}

bool is_name_char(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// What may follow a closing quote: white space, then nothing or a comment.
bool only_comment_left(std::string_view rest) noexcept {
    rest = skip_blanks(rest);
    return rest.empty() || rest.front() == '#';
}

enum class LineKind { Skip, Assignment, Bad };

LineKind parse_line(std::string_view line, std::string& name, std::string& value) {
    line = skip_blanks(line);
    if (line.empty() || line.front() == '#') return LineKind::Skip;

    if (line.starts_with("export") && line.size() > 6 && is_blank(line[6])) line = skip_blanks(line.substr(6));

    std::size_t n = 0;
    while (n < line.size() && is_name_char(line[n])) ++n;
    if (n == 0) return LineKind::Bad;
    name.assign(line.substr(0, n));
    line = skip_blanks(line.substr(n));
    if (line.empty() || line.front() != '=') return LineKind::Bad;
    line = skip_blanks(line.substr(1));

    value.clear();
    if (line.empty()) return LineKind::Assignment;
    if (line.front() == '\'') {
        const std::size_t close = line.find('\'', 1);
        if (close == std::string_view::npos) return LineKind::Bad;
        value.assign(line.substr(1, close - 1));
        return only_comment_left(line.substr(close + 1)) ? LineKind::Assignment : LineKind::Bad;
    }
    if (line.front() == '"') {
        for (std::size_t i = 1; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"') return only_comment_left(line.substr(i + 1)) ? LineKind::Assignment : LineKind::Bad;
            if (c != '\\' || i + 1 == line.size()) {
                value.push_back(c);
                continue;
            }
            switch (const char e = line[++i]) {
                case 'n': value.push_back('\n'); break;
                case 't': value.push_back('\t'); break;
                case 'r': value.push_back('\r'); break;
                case '"': value.push_back('"'); break;
                case '\\': value.push_back('\\'); break;
                default:
                    value.push_back('\\');
                    value.push_back(e);
            }
        }
        return LineKind::Bad;  // no closing quote on this line
    }
    // Unquoted: a "#" after white space starts a comment.
    std::size_t end = line.size();
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '#' && is_blank(line[i - 1])) {
            end = i;
            break;
        }
    }
    value.assign(trim_white_space(line.substr(0, end)));
    return LineKind::Assignment;
}

}  // namespace

DotenvContents parse_dotenv(std::string_view text) {
    DotenvContents out;
    std::string name;
    std::string value;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!is_valid_utf8(line) || line.find('\0') != std::string_view::npos) {
            out.complete = false;
            return out;
        }
        switch (parse_line(line, name, value)) {
            case LineKind::Skip: break;
            case LineKind::Assignment: out.assignments.emplace_back(name, value); break;
            case LineKind::Bad: out.complete = false; return out;
        }
    }
    return out;
}

std::optional<std::string> find_dotenv() {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::current_path(ec);
    if (ec) return std::nullopt;
    while (true) {
        const std::filesystem::path candidate = dir / ".env";
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0) {
            if (S_ISREG(st.st_mode)) return candidate.string();
        } else if (errno != ENOENT) {
            return std::nullopt;
        }
        std::filesystem::path parent = dir.parent_path();
        if (parent == dir) return std::nullopt;
        dir = std::move(parent);
    }
}

std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string contents;
    char buffer[8192];
    bool ok = true;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        contents.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return contents;
}

}  // namespace vantorel
