def test_library_version(api):
    assert api.get_cpp_version() == "0.1.8"
    assert api.__version__ == "dev"
