// download-folder: makes the download a player gets, one folder per agent number.
//   download-folder --setup Setup.exe --server 203.0.113.7:18920 --agent 1001,1002 --out downloads
#include "download_folder.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app{
        "Makes the download folder a player gets for each agent number: Setup.exe and the "
        "Launcher.ini beside it, naming the version servers and the agent, with the "
        "installation report due."};
    app.set_version_flag("--version", "download-folder " DOWNLOAD_FOLDER_VERSION);
    download_folder::DownloadRequest request;
    download_folder::AddDownloadOptions(app, request);
    CLI11_PARSE(app, argc, argv);
    return download_folder::RunDownload(request, std::cout, std::cerr);
}
