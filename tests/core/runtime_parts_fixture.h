// The parts of the runtime that the registries stand on: the executor
// registry with the default executor and the pool registry with the default
// pool, started in system order and stopped in reverse around each test.
#pragma once

#include <gtest/gtest.h>

#include "core/executor.h"
#include "core/names.h"
#include "core/pool.h"

template <class Base = ::testing::Test>
class CoreRuntimeParts : public Base {
protected:
    void SetUp() override
    {
        ASSERT_EQ(core_executor_registry_start(), CORE_OK);
        CoreName executor;
        core_name_format(&executor, "%s", CORE_DEFAULT_EXECUTOR);
        ASSERT_EQ(core_executor_create(&executor), 0);
        ASSERT_EQ(core_pool_registry_start(0), CORE_OK);
    }

    void TearDown() override
    {
        core_pool_registry_stop();
        core_executor_registry_stop();
    }
};
