# The origin lock in-process: a locked build's answers to each kind of page, and in a build
# without the lock, that nothing of it is there.
tallyfold_add_gtest(NAME unit_origin_lock SOURCES OriginLockTests.cpp DocumentStandIn.cpp LIBS tallyfold_core urlmon
                    REGISTERED LABELS lock)
