// The class statements of murchet, in creation order: the twelve classic
// classes with the members each binds.
#include "murchet.h"

namespace murchet {
namespace {

constexpr py::Bind M = py::Bind::method, S = py::Bind::staticmethod;

void asic_attrs(py::ClassBody& c) {
  c.set("_devs_supported",
        py::tuple({py::str("bridge"), py::str("bond"), py::str("vlan"), py::str("swp")}));
}

}  // namespace

const py::ClassTable classes = {py::Qualname::unbound, {
    {"KernMdbEntry", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, vid, grp"}, {"add_port", M, "self, dev"}, {"__str__", M, "self"}}},
    {"KernMdbCache", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, dev, vlan_filtering, mdb_entries=None"}, {"__str__", M, "self"}}},
    {"KernVlanEntry", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, vid"},
      {"add_port", M, "self, port, untagged"},
      {"__str__", M, "self"}}},
    {"KernVlanDevEntry", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, dev, vid, atlink"}, {"__str__", M, "self"}}},
    {"KernDevEntry", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, dev, kind, vlan_filtering"}, {"__str__", M, "self"}}},
    {"PortmapEntry", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, dport, logical_port, linux_port"},
      {"update_port_vid", M, "self, port_vid"},
      {"__str__", M, "self"}}},
    {"VlanXlate", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, lport, ivid, evid"}, {"__str__", M, "self"}}},
    {"VlanEntry", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, vid, untagged_dports"}, {"__str__", M, "self"}}},
    {"Encap", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, linux_port, bcm_dport, intf, vlan, evid"},
      {"__str__", M, "self"},
      {"encap2swp", M, "self"}}},
    {"ReplicationGroup", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, mcast_grp, l2_encaps, l3_encaps"},
      {"__str__", M, "self"},
      {"get_l3_linux_encaps", M, "self"},
      {"get_l2_linux_encaps", M, "self"}}},
    {"Hmroute", nullptr, nullptr, nullptr,
     {{"__init__", M, "self, sip, dip, iif, mcast_grp, vrf"}, {"__str__", M, "self"}}},
    {"Asic", nullptr, nullptr, asic_attrs,
     {
         {"__init__", M, "self, use_mem_table=False"},
         {"__str__", M, "self"},
         {"_get_cmd_output", S, "cmdList, dispStr=None"},
         {"_is_1G_chip", M, "self"},
         {"_key_to_sip_dip", M, "self, key"},
         {"_parse_portmap", M, "self"},
         {"_parse_ports", M, "self"},
         {"_parse_vlan", M, "self, vid"},
         {"_parse_l3_intf", M, "self"},
         {"_parse_ipmc_table", M, "self"},
         {"_parse_vlan_xlate", M, "self"},
         {"_parse_l3_entry_ipmc_table", M, "self"},
         {"_parse_one_multicast_repln_group", M, "self, dispStr"},
         {"_parse_multicast_repln_groups", M, "self"},
         {"_field_dict_build", M, "self, entry"},
         {"_update_portmap_port_vid", M, "self, dport, port_vid"},
         {"_dport2logical_port", M, "self, dport"},
         {"_get_logical_port_and_pvid", M, "self, linux_port"},
         {"_is_port_untagged_for_vid", M, "self, dport, vid"},
         {"_ivid2evid", M, "self, dport, ivid"},
         {"_evid2ivid", M, "self, logical_port, evid"},
         {"_grp_ip2mac", M, "self, grp"},
         {"_kern_create_vlan_cache", M, "self"},
         {"_kern_get_vlan_members", M, "self, vid"},
         {"_kern_create_vlan_dev_cache", M, "self"},
         {"_kern_get_vlan_and_atlink", M, "self, dev"},
         {"_kern_setup_br_cache", M, "self, dev"},
         {"_kern_get_br_members", M, "self, dev"},
         {"_kern_dev_get_mdb_entry", M, "self, orig_dev, orig_vlan, orig_grp"},
         {"_kern_dev_kind_parse", M, "self, dev"},
         {"_kern_dev_vlan_filtering_parse", M, "self, dev"},
         {"_kern_dev_cache_get", M, "self, dev"},
         {"_kern_dev_vlan_filtering_get", M, "self, dev"},
         {"_kern_dev_kind_get", M, "self, dev"},
         {"_kern_get_dev_vlan", M, "self, dev, kind, parent_vlan=-1"},
         {"_kern_base_dev_kind_get", M, "self, orig_dev, parent_vlan=-1"},
         {"_expand_kern_vlan_aware_bridge", M, "self, grp_mac, dev, vlan"},
         {"_expand_kern_vlan_unaware_bridge", M, "self, grp_mac, dev"},
         {"_expand_kern_bridge", M, "self, vlan_filtering, grp, dev, vlan"},
         {"_expand_kern_bond", M, "self, dev"},
         {"_expand_kern_dev", M, "self, grp, orig_dev, parent_vlan=-1"},
         {"_get_vlan_riot_memtable_name", M, "self"},
         {"_is_riot_enabled", M, "self"},
         {"_hw_vlan_to_iif", M, "self, iif_vlan"},
         {"_kern_iif_to_hw_vlan", M, "self, base_kind, base_iif, iif_vlan, member"},
         {"_dump_one_mroute", M, "self, mroute"},
         {"mroute_eq", M, "self, key, iif, oil"},
         {"get_mroutes", M, "self"},
         {"dump_mroutes", M, "self, filter_mroutes=None"},
     }},
}};

}  // namespace murchet
