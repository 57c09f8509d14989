#include "app/run.hpp"
#include "app/static_tables.hpp"

namespace {

// The read-only tables are built here, before main, in their fixed order.
const bool static_tables_built = (init_static_tables(), true);

}  // namespace

int main(int argc, char** argv) {
  return run_main(argc, argv);
}
