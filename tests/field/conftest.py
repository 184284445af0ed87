def pytest_addoption(parser):
    parser.addoption("--forward", default="build/native/quorl-socket-forward", help="the native quorl-socket-forward")
    parser.addoption("--build", default="build/win-x64", help="the win-x64 build folder")
