#include "ProcessPurgeProduct.h"

#include <ecpg_informix.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "Esql.h"
#include "run_control.h"
#include "run_metrics.h"
#include "trevane.h"

namespace {

// One statement text buffer, reused for the queries and the delete of each product.
class Statement {
   public:
    // Formats the text; false when it would not fit (never truncated).
    __attribute__((format(printf, 2, 3))) bool format(const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        const int len = std::vsnprintf(text_, sizeof text_, fmt, args);
        va_end(args);
        return len >= 0 && static_cast<std::size_t>(len) < sizeof text_;
    }
    const char* c_str() const { return text_; }

   private:
    char text_[1024] = "";
};

// The number of rows a delete statement would remove, for a preview; -1 when it cannot be told.
long count_would_delete(const std::string& delete_text) {
    // "DELETE FROM TextProduct WHERE ..." becomes "SELECT count(*) FROM TextProduct WHERE ...".
    const std::string query =
        "SELECT count(*) " + delete_text.substr(std::string("DELETE ").size());
    int count = 0;
    return esql::exec(query.c_str(), esql::none, esql::vars(count)).failed() ? -1 : count;
}

// Handles one product; false when a failure ends the pass (never the run).
bool purge_product(RunState& run, const char* product_id, int num_versions) {
    const std::string id = esql::escaped(product_id);
    note_run_item("product", product_id);
    Statement stmt;

    if (!stmt.format("SELECT product_id, producttime, postingtime FROM TextProduct WHERE "
                     "product_id = '%s'  ORDER BY producttime DESC, postingtime DESC;",
                     id.c_str())) {
        std::printf("ERROR - product_id %s is too long for the TextProduct statements\n",
                    product_id);
        return false;
    }
    esql::Result r = esql::prepare_on_client("tp_id", stmt.c_str());
    if (r.code != 0) {
        std::printf("ERROR - Can't PREPARE cursor for TextProduct (%s)\n", r.state);
        return false;
    }
    esql::Cursor versions("declare tp_cur  cursor with hold for ?");
    r = versions.open("tp_id");
    if (r.code != 0) {
        std::printf("ERROR - Can't OPEN cursor for TextProduct (%s)\n", r.state);
        return false;
    }

    stmt.format("SELECT count(*) FROM TextProduct  WHERE product_id = '%s'; ", id.c_str());
    r = esql::prepare_on_client("tpc_id", stmt.c_str());
    if (r.code != 0) {
        std::printf("ERROR - Can't PREPARE cursor for TextProduct (%s)\n", r.state);
        return false;
    }
    esql::Cursor counter("declare tpc_cur  cursor with hold for ?");
    r = counter.open("tpc_id");
    if (r.code != 0) {
        std::printf("ERROR - Can't OPEN cursor for TextProduct count (%s)\n", r.state);
        return false;
    }
    int count = 0;
    r = counter.fetch(esql::vars(count));
    if (r.code != 0) {
        std::printf("ERROR - Can't FETCH TextProduct record count (%s)\n", r.state);
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
            esql::FixedText<11> fetched_id(esql::Trim::TrailingBlanks);
            timestamp producttime = 0;
            timestamp postingtime = 0;
            for (int i = 0; i < num_versions; ++i) {
                r = versions.fetch(
                    esql::vars(fetched_id.var(), esql::ts(producttime), esql::ts(postingtime)));
                if (r.code != 0) {
                    std::printf("ERROR - Can't FETCH TextProduct record (%s)\n", r.state);
                    return false;
                }
            }
            char version_id[11] = "";
            if (!fetched_id.copy_to(version_id)) {
                // A cut id would delete the versions of another product.
                std::printf(
                    "Product %s left alone: its TextProduct id %s is longer than %zu "
                    "characters\n",
                    product_id, fetched_id.c_str(), sizeof version_id - 1);
                run.figures.note_key_left_alone("products");
                return true;
            }
            char producttime_text[64];
            char postingtime_text[64];
            dttoasc(&producttime, producttime_text);
            dttoasc(&postingtime, postingtime_text);
            stmt.format(
                "DELETE FROM TextProduct WHERE product_id = '%s' AND producttime < '%s' "
                "AND postingtime < '%s';",
                esql::escaped(version_id).c_str(), producttime_text, postingtime_text);
        }

        if (run.preview) {
            std::printf("    %s\n", stmt.c_str());
            const long would_delete = count_would_delete(stmt.c_str());
            std::printf("    (preview: %ld versions would be deleted)\n", would_delete);
            run.figures.note_product_versions_deleted(would_delete);
        } else {
            r = esql::execute_immediate(stmt.c_str());
            std::printf("    %s\n", stmt.c_str());
            // A delete that finds nothing older than the boundary is no failure.
            if (r.failed()) {
                std::printf("ERROR - DELETE failed - EXECUTE IMMEDIATE return code = %s\n",
                            r.state);
                return false;
            }
            run.figures.note_product_versions_deleted(r.rows);
        }
    }

    r = versions.close();
    if (r.code != 0) {
        std::printf("ERROR attempting to close tp_cur cursor (%s)\n", r.state);
        return false;
    }
    r = counter.close();
    if (r.code != 0) {
        std::printf("ERROR attempting to close tpc_cur cursor (%s)\n", r.state);
        return false;
    }
    return true;
}

}  // namespace

void ProcessPurgeProduct() {
    RunState run;
    purge_text_products(run);
}

void purge_text_products(RunState& run) {
    std::printf("\nBegin PurgeProduct:\n");

    esql::Result r = esql::prepare_on_client(
        "pp_id", "SELECT product_id, num_versions, producttime, postingtime FROM PurgeProduct;");
    if (r.code != 0) {
        std::printf("ERROR - Can't PREPARE cursor for PurgeProduct (%s)\n", r.state);
        return;
    }
    esql::Cursor products("declare pp_cur  cursor with hold for ?");
    r = products.open("pp_id");
    if (r.code != 0) {
        std::printf("ERROR - Can't OPEN cursor for PurgeProduct (%s)\n", r.state);
        return;
    }

    for (;;) {
        if (run_stop_requested()) {
            return;
        }
        // A char(n) id comes padded with blanks; the product's name is without them.
        esql::FixedText<11> fetched_id(esql::Trim::TrailingBlanks);
        int num_versions = 0;
        timestamp producttime = 0;
        timestamp postingtime = 0;
        r = products.fetch(esql::vars(fetched_id.var(), num_versions, esql::ts(producttime),
                                      esql::ts(postingtime)));
        if (r.no_row()) {
            return;
        }
        if (r.code != 0) {
            std::printf("ERROR - Can't FETCH PurgeProduct record (%s)\n", r.state);
            return;
        }
        char product_id[11] = "";
        if (!fetched_id.copy_to(product_id)) {
            // Cut to the field, it would name another product.
            std::printf("Product %s left alone: its product_id is longer than %zu characters\n",
                        fetched_id.c_str(), sizeof product_id - 1);
            run.figures.note_key_left_alone("products");
            continue;
        }
        if (!purge_product(run, product_id, num_versions)) {
            return;
        }
    }
}
