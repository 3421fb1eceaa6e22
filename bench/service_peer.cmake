# The peer check on a bare listener with the service's settings.
target_link_libraries(bench_service_peer PRIVATE tessaroll_test_certs PkgConfig::MHD PkgConfig::GNUTLS)
