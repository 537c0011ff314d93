#include "topology/topology_clients_pool.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include <boost/asio/io_context.hpp>

#include "common/json_filter.hpp"
#include "config/config.hpp"

namespace {

TEST(TopologyClientsPool, RefusesANullArbiter) {
    Config config;
    boost::asio::io_context io;
    json_tools::filter::Node filter;
    try {
        TopologyClientsPool pool(config, filter, io, nullptr);
        ADD_FAILURE() << "built";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Arbiter MUST be NOT null!");
    }
}

}  // namespace
