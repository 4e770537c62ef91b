# link, download and serial test
