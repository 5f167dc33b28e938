// Test-side helper for the scripted ODBC driver: writes a scenario into a
// private temporary directory, builds its connection string and reads the
// driver's call log back. The format is described in tests/python/scripted.py.
#pragma once

#include <sql.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace scripted_testing {

using nlohmann::json;

inline constexpr const char* kDriverName = "Vantorel Scripted Driver";

class Scenario {
public:
    explicit Scenario(std::string user = "u", std::string password = "p") : user_(std::move(user)), password_(std::move(password)) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vantorel-scripted-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        data_ = {{"login", {{"user", user_}, {"password", password_}}}, {"rules", json::array()}};
    }
    ~Scenario() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    json& data() { return data_; }
    Scenario& rule(json r) {
        data_["rules"].push_back(std::move(r));
        return *this;
    }
    std::string path() const { return (dir_ / "scenario.json").string(); }
    std::string log_path() const { return path() + ".log"; }
    // Writes the scenario; a changed scenario starts with fresh execution counts.
    const Scenario& write() const {
        std::ofstream(path()) << data_.dump();
        return *this;
    }
    std::string connection_string() const { return connection_string_with(user_, password_); }
    std::string connection_string_with(const std::string& user, const std::string& password) const {
        return "DRIVER={" + std::string(kDriverName) + "};SYSTEM=" + path() + ";UID=" + user + ";PWD=" + password + ";";
    }

    std::vector<json> log() const {
        std::vector<json> lines;
        std::ifstream in(log_path());
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(json::parse(line));
        return lines;
    }
    // Lines of one call; "SQLSetConnectAttr" also matches the wide entry point.
    std::vector<json> calls(std::string_view name) const {
        std::vector<json> out;
        for (auto& l : log()) {
            const auto call = l.value("call", std::string());
            if (call == name || call == std::string(name) + "W") out.push_back(l);
        }
        return out;
    }
    // Driver-side handles of a type ("DBC", "STMT") allocated and not freed.
    std::vector<std::uint64_t> unfreed(std::string_view type) const {
        std::map<std::uint64_t, int> open;
        for (auto& l : log()) {
            if (l.value("type", std::string()) != type) continue;
            const auto h = l.at("handle").get<std::uint64_t>();
            if (l["call"] == "SQLAllocHandle") open[h] += 1;
            if (l["call"] == "SQLFreeHandle") open[h] -= 1;
        }
        std::vector<std::uint64_t> out;
        for (auto [h, n] : open)
            if (n != 0) out.push_back(h);
        return out;
    }
    std::size_t count(std::string_view call, std::string_view type) const {
        std::size_t n = 0;
        for (auto& l : calls(call))
            if (l.value("type", std::string()) == type) ++n;
        return n;
    }

private:
    std::string user_, password_;
    std::filesystem::path dir_;
    json data_;
};

// Application-side handle accounting at the driver manager's entry points.
// The driver manager releases the driver's connection handle by itself when
// a connect fails or a connection is closed, so only this view shows whether
// the application freed its own handles.
struct HandleCounts {
    std::int64_t dbc = 0;
    std::int64_t stmt = 0;
};
// Handles allocated minus handles freed since the process started.
HandleCounts application_handles();

}  // namespace scripted_testing
