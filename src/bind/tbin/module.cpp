// The module quorvex._tbin: its state and its table of functions.
#include "tbinmod.h"

namespace tbinmod {
State state;
}  // namespace tbinmod

using namespace tbinmod;

NB_MODULE(_tbin, m) {
    if (!state.ready) {
        state.json_dumps = qv::keep(nb::module_::import_("json").attr("dumps"));
        qvtbin::init_refs(state.tbin);
        state.ready = true;
    }
    m.doc() = "Making and describing .tbin update images; see quorvex.tbin.";
    m.def("pack", &pack, nb::arg("image").none(), nb::arg("dev_type").none(), nb::arg("header").none(),
          nb::arg("key_prefix").none(), "The .tbin container for an image as bytes; see quorvex.tbin.pack.");
    m.def("pack_file", &pack_file, nb::arg("image_path").none(), nb::arg("out_path").none(), nb::arg("dev_type").none(),
          nb::arg("header").none(), nb::arg("key_prefix").none(),
          "Writes the .tbin container for an image file to out_path; see quorvex.tbin.pack_file.");
    m.def("describe", &describe, nb::arg("source").none(), nb::arg("key_prefix").none(),
          nb::arg("digests") = true,
          "What a .tbin container holds and what is wrong with it; see quorvex.tbin.describe.");
    m.def("generate_key", &generate_key, nb::arg("path").none(),
          "Writes a new Ed25519 key pair to path and path + '.pub'; see quorvex.tbin.generate_key.");
    m.def("load_public_key", &load_public_key, nb::arg("path").none(),
          "The raw 32-byte key of a PEM public key file; see quorvex.tbin.load_public_key.");
    m.def("load_trust", &load_trust, nb::arg("path").none(),
          "The raw public keys of a key file or a folder of them; see quorvex.tbin.load_trust.");
    m.def("private_key_id", &private_key_id, nb::arg("path").none(),
          "The key id of a private key file, read as sign() reads it.");
    m.def("key_id", &key_id, nb::arg("public_key").none(), "The key id of a raw public key; see quorvex.tbin.key_id.");
    m.def("signing_digest", &signing_digest, nb::arg("source").none(),
          "The 32-byte message a signature signs; see quorvex.tbin.signing_digest.");
    m.def("signature_report", &signature_report, nb::arg("source").none(), nb::arg("keys").none(),
          "The signature trailer of a container, checked against raw public keys; see quorvex.tbin.signature_report.");
    m.def("sign", &sign, nb::arg("path").none(), nb::arg("key_path").none(), nb::arg("out").none(),
          "Adds a signature made with a private key file; see quorvex.tbin.sign.");
    m.def("attach_signature", &attach_signature, nb::arg("path").none(), nb::arg("signature").none(),
          nb::arg("public_key").none(), nb::arg("out").none(),
          "Adds a signature made elsewhere, once it verifies; see quorvex.tbin.attach_signature.");
    m.def("read_signature", &read_signature, nb::arg("path").none(),
          "The raw 64-byte Ed25519 signature held by the file at path.");
}
