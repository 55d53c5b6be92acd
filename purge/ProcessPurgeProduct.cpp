#include "ProcessPurgeProduct.h"

#include <ecpg_informix.h>

#include <cstdio>
#include <string>

#include "Esql.h"
#include "purge_mode.h"
#include "run_metrics.h"

namespace {

// One statement text buffer, reused for the queries and the delete of each product.
class Statement {
   public:
    // Formats the text; false when it would not fit (never truncated).
    template <class... Args>
    bool format(const char* fmt, Args... args) {
        const int len = std::snprintf(text_, sizeof text_, fmt, args...);
        return len >= 0 && static_cast<std::size_t>(len) < sizeof text_;
    }
    const char* c_str() const { return text_; }

   private:
    char text_[1024] = "";
};

void report(const char* fmt) {
    std::printf(fmt, esql::sqlstate().text);
}

// The number of rows a delete statement would remove, for a preview; -1 when it cannot be told.
long count_would_delete(const std::string& deleteText) {
    // "DELETE FROM TextProduct WHERE ..." becomes "SELECT count(*) FROM TextProduct WHERE ...".
    const std::string query = "SELECT count(*) " + deleteText.substr(std::string("DELETE ").size());
    int count = 0;
    esql::exec(esql::Kind::Normal, query.c_str(), esql::none, esql::vars(count));
    return esql::sqlcode() < 0 ? -1 : count;
}

// Handles one product; false when the pass must end.
bool purge_product(const char* product_id, int num_versions) {
    const std::string id = esql::quoteDoubled(product_id);
    Statement stmt;

    if (!stmt.format("SELECT product_id, producttime, postingtime FROM TextProduct WHERE "
                     "product_id = '%s'  ORDER BY producttime DESC, postingtime DESC;",
                     id.c_str())) {
        std::printf("ERROR - product_id %s is too long for the TextProduct statements\n",
                    product_id);
        return false;
    }
    esql::prepare("tp_id", stmt.c_str());
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't PREPARE cursor for TextProduct (%s)\n");
        return false;
    }
    esql::openPreparedCursor("declare tp_cur  cursor with hold for ?", "tp_id");
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't OPEN cursor for TextProduct (%s)\n");
        return false;
    }
    esql::CursorGuard tpCur("close tp_cur");

    stmt.format("SELECT count(*) FROM TextProduct  WHERE product_id = '%s'; ", id.c_str());
    esql::prepare("tpc_id", stmt.c_str());
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't PREPARE cursor for TextProduct (%s)\n");
        return false;
    }
    esql::openPreparedCursor("declare tpc_cur  cursor with hold for ?", "tpc_id");
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't OPEN cursor for TextProduct count (%s)\n");
        return false;
    }
    esql::CursorGuard tpcCur("close tpc_cur");
    int count = 0;
    esql::exec(esql::Kind::Normal, "fetch tpc_cur", esql::none, esql::vars(count));
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't FETCH TextProduct record count (%s)\n");
        return false;
    }

    const long long difference = static_cast<long long>(count) - num_versions;
    const long excess = difference > 0 ? static_cast<long>(difference) : 0;
    if (excess > 0) {
        std::printf("   %s - %ld deleted; were %ld products > %ld max.\n", product_id, excess,
                    static_cast<long>(count), static_cast<long>(num_versions));
    } else {
        std::printf("   %s - None deleted; %ld products currently <= %ld max.\n", product_id,
                    static_cast<long>(count), static_cast<long>(num_versions));
    }

    if (excess > 0) {
        if (num_versions <= 0) {
            stmt.format("DELETE FROM TextProduct WHERE product_id = '%s';", id.c_str());
        } else {
            char version_id[11] = "";
            timestamp producttime = 0;
            timestamp postingtime = 0;
            for (int i = 0; i < num_versions; ++i) {
                esql::exec(esql::Kind::Normal, "fetch tp_cur", esql::none,
                           esql::vars(version_id, esql::ts(producttime), esql::ts(postingtime)));
                if (esql::sqlcode() != 0) {
                    report("ERROR - Can't FETCH TextProduct record (%s)\n");
                    return false;
                }
            }
            char producttime_text[64];
            char postingtime_text[64];
            dttoasc(&producttime, producttime_text);
            dttoasc(&postingtime, postingtime_text);
            stmt.format(
                "DELETE FROM TextProduct WHERE product_id = '%s' AND producttime < '%s' "
                "AND postingtime < '%s';",
                esql::quoteDoubled(version_id).c_str(), producttime_text, postingtime_text);
        }

        if (purge_preview()) {
            std::printf("    %s\n", stmt.c_str());
            const long would_delete = count_would_delete(stmt.c_str());
            std::printf("    (preview: %ld versions would be deleted)\n", would_delete);
            note_product_versions_deleted(would_delete);
        } else {
            esql::executeImmediate(stmt.c_str());
            std::printf("    %s\n", stmt.c_str());
            // A delete that finds nothing older than the boundary is no failure.
            if (esql::sqlcode() < 0) {
                report("ERROR - DELETE failed - EXECUTE IMMEDIATE return code = %s\n");
                return false;
            }
            note_product_versions_deleted(esql::rowsProcessed());
        }
    }

    tpCur.release();
    esql::exec(esql::Kind::Normal, "close tp_cur", esql::none, esql::none);
    if (esql::sqlcode() != 0) {
        report("ERROR attempting to close tp_cur cursor (%s)\n");
        return false;
    }
    tpcCur.release();
    esql::exec(esql::Kind::Normal, "close tpc_cur", esql::none, esql::none);
    if (esql::sqlcode() != 0) {
        report("ERROR attempting to close tpc_cur cursor (%s)\n");
        return false;
    }
    return true;
}

}  // namespace

void ProcessPurgeProduct() {
    std::printf("\nBegin PurgeProduct:\n");

    esql::prepare("pp_id",
                  "SELECT product_id, num_versions, producttime, postingtime FROM PurgeProduct;");
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't PREPARE cursor for PurgeProduct (%s)\n");
        return;
    }
    esql::openPreparedCursor("declare pp_cur  cursor with hold for ?", "pp_id");
    if (esql::sqlcode() != 0) {
        report("ERROR - Can't OPEN cursor for PurgeProduct (%s)\n");
        return;
    }
    esql::CursorGuard ppCur("close pp_cur");

    for (;;) {
        char product_id[11] = "";
        int num_versions = 0;
        timestamp producttime = 0;
        timestamp postingtime = 0;
        esql::exec(
            esql::Kind::Normal, "fetch pp_cur", esql::none,
            esql::vars(product_id, num_versions, esql::ts(producttime), esql::ts(postingtime)));
        if (esql::sqlcode() == ECPG_NOT_FOUND) {
            return;
        }
        if (esql::sqlcode() != 0) {
            report("ERROR - Can't FETCH PurgeProduct record (%s)\n");
            return;
        }
        if (!purge_product(product_id, num_versions)) {
            return;
        }
    }
}
