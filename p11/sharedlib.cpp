// ORVA_P11.so: the module library for outside PKCS#11 applications. All code
// comes from zorbix_p11; this target adds only the export list.
