/* Message and resource numbers of velmora. Read by the C++ sources and by the resource compiler,
   so this file holds nothing but #define lines. */
#ifndef VELMORA_RESOURCE_IDS_H
#define VELMORA_RESOURCE_IDS_H

#define IDS_ANOTHER_INSTALLER_RUNNING 102
#define IDS_INSTANCE_MUTEX_NAME       103
#define IDS_UNINSTALL_FAILED          105
#define IDS_CABLE_CONNECTED           106
#define IDS_INSTALL_ABORTED           107
#define IDS_ALREADY_INSTALLED         108
#define IDS_INSTALL_FAILED            109
#define IDS_INSTALL_COMPLETE          110
#define IDS_SETUP_NOT_FOUND           111
#define IDS_REMOVE_UNIT               112
#define IDS_NEWER_INSTALLED           113
#define IDS_APP_TITLE                 57344

#endif
