#include "EmailManager.h"

// Placeholder until the mail queue lands: accepts and discards mails.
EmailManager *g_emailManager = nullptr;

EmailManager::EmailManager() : ThreadWorker(nullptr) {}
EmailManager::~EmailManager() = default;
void EmailManager::stop() { emit finished(); }
void EmailManager::initConfig() {}
void EmailManager::process() {}
bool EmailManager::sendEmail(int) { return false; }
void EmailManager::checkQueue() {}
void EmailManager::addMail2Queue(EmailManager::Mail2Send) {}
