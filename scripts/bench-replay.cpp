// The bound of a purge run that sends one statement at a time: replays, in order and on one
// connection, a statement stream taken from the server log of a trevane run, and fetches every
// row of every result. Built and run by scripts/bench.sh; it is no part of the programs.
//
//   bench-replay STREAM DBNAME
//
// STREAM holds one statement per line: "S<TAB>text" for a statement sent as it is, or
// "P<TAB>text<TAB>value..." for one sent with its parameters ($1, $2, ... in the text).
// Connection settings come from the usual PG* variables. Prints the number of statements, of
// those that failed, and of the bytes of the values fetched.

#include <libpq-fe.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ConnectionCloser {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultClearer {
    void operator()(PGresult* r) const { PQclear(r); }
};

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench-replay STREAM DBNAME\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "bench-replay: cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<std::vector<std::string>> stream;
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 2 && (line[0] == 'S' || line[0] == 'P') && line[1] == '\t') {
            stream.push_back(split_tabs(line));
        }
    }

    const char* keys[] = {"dbname", nullptr};
    const char* values[] = {argv[2], nullptr};
    std::unique_ptr<PGconn, ConnectionCloser> conn(PQconnectdbParams(keys, values, 1));
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        std::fprintf(stderr, "bench-replay: %s", PQerrorMessage(conn.get()));
        return 1;
    }

    long failed = 0;
    std::size_t bytes = 0;
    for (const auto& s : stream) {
        std::unique_ptr<PGresult, ResultClearer> r;
        if (s[0] == "S") {
            r.reset(PQexec(conn.get(), s[1].c_str()));
        } else {
            std::vector<const char*> params;
            for (std::size_t i = 2; i < s.size(); ++i) {
                params.push_back(s[i].c_str());
            }
            r.reset(PQexecParams(conn.get(), s[1].c_str(), static_cast<int>(params.size()), nullptr,
                                 params.data(), nullptr, nullptr, 0));
        }
        const ExecStatusType st = PQresultStatus(r.get());
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            ++failed;
            continue;
        }
        // Every value is read, as a fetch into host variables reads it.
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            for (int col = 0; col < PQnfields(r.get()); ++col) {
                bytes += static_cast<std::size_t>(PQgetlength(r.get(), row, col));
            }
        }
    }
    std::printf("%zu %ld %zu\n", stream.size(), failed, bytes);
    return 0;
}
