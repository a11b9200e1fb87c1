// The NetBIOS queries waiting for their answer, ordered by query id.
//
// Built on Boost.Intrusive's red-black tree: the link lives in each query,
// so inserting and removing allocate nothing, and a query unlinks itself
// when it is destroyed (auto-unlink hooks), which is the only way out of the
// table. A well-kept header-only container serves here better than a tree
// written by hand.
#pragma once

#include "netbios/NetbiosQuery.h"

#include <boost/intrusive/set.hpp>

class PendingTable {
public:
    // False, and the table unchanged, when the id is present already.
    bool insert(NetbiosQuery& query) { return set_.insert_unique(query).second; }
    // The query waiting under this id, or null.
    NetbiosQuery* find(uint32_t queryId) {
        auto found = set_.find(queryId);
        return found == set_.end() ? nullptr : &*found;
    }
    bool empty() const { return set_.empty(); }

private:
    struct QueryIdOf {
        using type = uint32_t;
        uint32_t operator()(const NetbiosQuery& query) const { return query.queryId; }
    };
    boost::intrusive::set<
        NetbiosQuery,
        boost::intrusive::member_hook<NetbiosQuery, decltype(NetbiosQuery::link), &NetbiosQuery::link>,
        boost::intrusive::key_of_value<QueryIdOf>, boost::intrusive::constant_time_size<false>>
        set_;
};
